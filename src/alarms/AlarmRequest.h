#pragma once
// What the alarm queries share: submitting an alarm request and reporting its
// failure on the standard error stream.
#include <cstdint>
#include <memory>

#include "zu/cds/Records.h"

namespace cdsapi {
namespace detail {

// Writes one line (text, newline, flush) on std::cerr in one piece, so that
// lines of queries on several threads do not interleave.
void writeErrorLine(const char* text);

// Submits `request` on the process-wide client and returns the answer as a
// CGetAlarms, nullptr when there is none or it is of another kind. Writes
// exactly one line when the request failed or the answer has status 3 or 4,
// and nothing otherwise.
std::shared_ptr<zu::cds::CGetAlarms> submitAlarmQuery(zu::cds::CGetAlarms& request);

// The most updates a query asks for: the count when it is 1 to 999, else 1000.
std::uint32_t maxCount(unsigned long long count);

}  // namespace detail
}  // namespace cdsapi

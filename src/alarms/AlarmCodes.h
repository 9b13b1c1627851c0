#pragma once
// The alarm code table: the English texts of the known alarm codes.
#include <string>
#include <utility>

namespace cdsapi {
namespace detail {

// Raise text (first) and back-to-normal text (second) of one alarm code.
using AlarmCodeTexts = std::pair<std::string, std::string>;

// The texts of `code`, compared byte for byte, or nullptr when the code is not
// in the table. The table is built when the library is loaded and never
// changes, so this may be called from any thread without a lock.
const AlarmCodeTexts* findAlarmCode(const std::string& code);

}  // namespace detail
}  // namespace cdsapi

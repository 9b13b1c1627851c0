#pragma once
// The records every application sends and receives most, written and read
// without building protobuf messages: the read of a channel value
// (CGetChannelValue), a value write (CUpdateChannelValue), and a notification
// that carries values only (CSubscriberNotify without its sets). The bytes
// are the ones protobuf writes for the same record (field order, packed ids,
// no field at its default), so either side may use either way. A payload is
// read here only in that very form, which protobuf reads as the same record
// (fields in order, no default sent, every varint at its shortest, every
// number within its record field); anything else is left to the general
// codec, which reads every form protobuf accepts and explains what it refuses.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zu/cds/Records.h"

namespace zu {
namespace wire {
namespace quick {

// Writes the Envelope of `r` into `*out` after `room` bytes left for a
// frame's header. False, with `*out` untouched, for a record this way does
// not write, or when it would pass `limit` bytes (the general codec says why).
bool encode(const cds::CRequestResponse& r, std::uint64_t correlation, std::string* out, std::size_t room,
            std::size_t limit);

// The record `payload` carries when it is the Envelope of one of those
// records in exactly the form encode() writes; else null.
std::shared_ptr<cds::CRequestResponse> decode(const std::string& payload, std::uint64_t* correlation);

}  // namespace quick
}  // namespace wire
}  // namespace zu

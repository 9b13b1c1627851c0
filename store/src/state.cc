// Realtime state bits of devices and channels.
#include <cstdio>
#include <string>
#include <vector>

#include "store_data.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::state_op;
using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;

namespace {

std::string hex(std::uint32_t bits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(bits));
  return text;
}

std::uint32_t apply_op(std::uint32_t current, std::uint32_t bits, state_op op, std::uint32_t settable) {
  switch (op) {
    case state_op::lower: return current & ~bits;
    case state_op::raise: return current | bits;
    case state_op::assign: return (current & ~settable) | bits;
    default: return current;
  }
}

// Checks every entry; on a refusal `results` tells which entries were at
// fault (the others answer 1) and nothing may be applied.
template <typename Single, typename Exists>
bool check_states(const std::vector<Single>& states, std::uint32_t settable, const char* what, Exists exists,
                  zu::cds::CRequestResponse& response, std::vector<zu::cds::CStateResult>& results) {
  std::uint32_t first_status = status_ok;
  std::string first_message;
  for (const Single& entry : states) {
    std::uint32_t status = status_ok;
    std::string message;
    std::uint32_t op = static_cast<std::uint32_t>(entry.op);
    if (op < 1 || op > 3) {
      status = status_invalid;
      message = "invalid state operation " + std::to_string(op);
    } else if ((entry.state.bits() & ~settable) != 0) {
      status = status_invalid;
      message = "state bits " + hex(entry.state.bits() & ~settable) + " cannot be set on a " + what;
    } else if (!exists(entry.id)) {
      status = status_refused;
      message = std::string("unknown ") + what + " " + std::to_string(entry.id);
    }
    results.push_back(zu::cds::CStateResult{entry.id, status});
    if (status != status_ok && first_status == status_ok) {
      first_status = status;
      first_message = std::move(message);
    }
  }
  if (first_status == status_ok) return true;
  refuse(response, first_status, std::move(first_message));
  return false;
}

}  // namespace

void set_device_state(StoreData& data, const zu::cds::CSetDeviceState& request, zu::cds::CSetDeviceState& response,
                      ChangeSet& changes) {
  response.results.clear();
  auto exists = [&](std::uint64_t id) { return data.device(id) != nullptr; };
  if (!check_states(request.states, kDeviceSettableBits, "device", exists, response, response.results)) return;
  for (const auto& entry : request.states) {
    zu::CDevice& record = data.device(entry.id)->record;
    std::uint32_t before = record.state.bits();
    std::uint32_t after = apply_op(before, entry.state.bits(), entry.op, kDeviceSettableBits);
    record.state = zu::CStateBits(after, record.state.supplier());
    record.communicating = (after & static_cast<std::uint32_t>(zu::realtime_state::communicating)) != 0;
    if (after != before) changes.device_records_changed.insert(entry.id);
  }
  response.status = status_ok;
}

void set_channel_state(StoreData& data, const zu::cds::CSetChannelState& request,
                       zu::cds::CSetChannelState& response, ChangeSet& changes) {
  response.results.clear();
  auto exists = [&](std::uint64_t id) { return data.channel(id) != nullptr; };
  if (!check_states(request.states, kChannelSettableBits, "channel", exists, response, response.results)) return;
  for (const auto& entry : request.states) {
    StoredChannel& channel = data.channel(entry.id)->channel;
    std::uint32_t before = channel.state.bits();
    std::uint32_t after = apply_op(before, entry.state.bits(), entry.op, kChannelSettableBits);
    channel.state = zu::CStateBits(after, channel.state.supplier());
    if (after != before) changes.channel_states_changed.insert(entry.id);
  }
  response.status = status_ok;
}

}  // namespace detail
}  // namespace store
}  // namespace cds

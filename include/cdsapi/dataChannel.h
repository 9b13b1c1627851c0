#pragma once
// The older channel interface: one channel at a time, bool results and the
// channel's last read state kept in public members.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cdsapi/dataClient.h"
#include "zu/CValue.h"

namespace cdsapi {

class dataHandler;

// The legacy scalar: four bytes holding a bool (in the first byte), a signed or
// unsigned 32-bit integer or a 32-bit float. It carries no type code of its
// own; dataChannel::typeCode says which member is meant. A new one is all
// zero bytes (false, 0, 0.0f).
struct value_cds {
  union {
    std::uint32_t u = 0;
    std::int32_t i;
    float f;
    bool b;
  };
};
static_assert(sizeof(value_cds) == 4, "the legacy scalar is one 32-bit word");

// One channel through the older interface.
//
// Legacy type codes (typeCode) by channel data type: bool 1, int32 3,
// uint32 2, float 4, string 5. Note the crossing of int32 and uint32, kept
// for the applications written against it. Channels of any other data type
// (int64, uint64, double, timestamp, bytes) are not handled: get and create
// leave typeCode and the value members as they were, and update with a
// scalar sends an empty (invalid) value.
//
// Before the first successful create or get, typeCode is 0 (no legacy type)
// and scalar is all zero bytes.
//
// Requests go through the process-wide data store client, which a
// CdsAccessor or the application must have connected; this class never
// connects. The forms taking a dataHandler send through that handler
// instead; given an empty handler pointer they send nothing and return
// false. No operation throws an exception of its own; failures of the
// submit calls themselves pass through.
//
// Diagnostics go to standard output, one flushed line each: "Channel <id>
// created !" after create, "no Channel: " when get through a handler finds
// no such channel.
//
// Not thread-safe: callers sharing one object serialize their calls.
// Subscription callbacks run on the handler's notification thread.
class dataChannel : public dataClient {
 public:
  dataChannel(std::string client_name, unsigned long long channel_id);
  virtual ~dataChannel();

  // Creates a channel named `name` on the device, asking for `channel_id`;
  // with `settings_flag`, also sets the settings flag bit. True when the
  // store returned exactly one channel; its type code and settings texts are
  // then copied here.
  virtual bool create(unsigned long long device_id, unsigned long long channel_id, const std::string& name,
                      bool settings_flag);
  // Writes the value as given; the answer is not examined: always true.
  virtual bool update(unsigned long long channel_id, const zu::CValue& value);
  // Writes the scalar (or, for a string channel, the text up to its first
  // NUL) as the channel's data type says. False, with nothing written, when
  // the channel's settings cannot be read. The device id is not used.
  virtual bool update(unsigned long long device_id, unsigned long long channel_id, const value_cds& value,
                      const std::string& text);
  virtual bool update(unsigned long long device_id, unsigned long long channel_id, const value_cds& value,
                      const std::string& text, std::shared_ptr<dataHandler> handler);
  // Reads the channel's settings and value into the members. True when the
  // settings were found, even without a value (then only typeCode and the
  // settings texts change). This form keeps texts up to their first NUL.
  virtual bool get(unsigned long long channel_id);
  // As above, keeping texts whole; also sets channelId, and prints
  // "no Channel: " when the settings are not found.
  virtual bool get(unsigned long long channel_id, std::shared_ptr<dataHandler> handler);
  // Deletes the channel; the answer is not examined: always true.
  virtual bool remove(unsigned long long channel_id);
  // Calls back with (channel id, value) on every value written to the
  // channel (subscription type 15). The registration's result.
  virtual bool subscribe(unsigned long long channel_id, std::function<void(unsigned long long, zu::CValue)> callback,
                         std::shared_ptr<dataHandler> handler);

  unsigned long long channelId;
  std::string settingsText1;
  std::string settingsText2;
  std::string stringValue;
  value_cds scalar;
  std::int32_t typeCode = 0;
};

}  // namespace cdsapi

#pragma once
// The connection of one cdsctl run and the look-ups every command shares.
#include <memory>
#include <string>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/OobAccessor.h"
#include "cdsapi/dataClient.h"
#include "zu/CChannel.h"

namespace cdsctl {

constexpr unsigned long long kManagerDevice = 1;

// Connects on first use, so that a command line that is wrong is reported
// before the data store is asked anything. Not thread-safe; watch's callbacks
// use the accessor only after the main thread has connected it.
class Context {
 public:
  explicit Context(bool json) : json(json) {}

  // Failure "cannot reach the data store at ENDPOINT" when it cannot connect.
  cdsapi::InBandAccessor& cds();
  cdsapi::DataAlarms& alarms();
  cdsapi::OobAccessor& oob();

  const bool json;

 private:
  std::unique_ptr<cdsapi::dataClient> client_;
  std::unique_ptr<cdsapi::InBandAccessor> cds_;
  std::unique_ptr<cdsapi::DataAlarms> alarms_;
  std::unique_ptr<cdsapi::OobAccessor> oob_;
};

// Failure "lost the connection to the data store ..." when the session has
// ended; a request that got no answer then says nothing about what it asked.
void check_connection();

// A channel named on the command line: its id ("1024"), or its device and
// name ("20/voltage"; the name is everything after the first slash).
struct ChannelRef {
  std::string text;
  unsigned long long id = ~0ULL;
  unsigned long long device = ~0ULL;
  std::string name;
};
// UsageError when the text is neither form.
ChannelRef parse_channel_ref(const std::string& text);
// The channel it names; Failure "no channel ..." when there is none.
zu::CChannel find_channel(cdsapi::InBandAccessor& cds, const ChannelRef& ref);
zu::CChannel find_channel(cdsapi::InBandAccessor& cds, unsigned long long channel_id);
// The device; Failure "no device N" when there is none.
zu::CDevice find_device(cdsapi::InBandAccessor& cds, unsigned long long device_id);

// A device named by its id or its UUID (36 characters with dashes, or 32 hex
// digits); UsageError when the text is neither.
struct DeviceRef {
  std::string text;
  unsigned long long id = ~0ULL;
  bool by_uuid = false;
};
DeviceRef parse_device_ref(const std::string& text);
// The device; Failure "no device ..." when none has that id or UUID. A UUID is
// looked for in the tree under the manager device.
zu::CDevice find_device(cdsapi::InBandAccessor& cds, const DeviceRef& ref);

// How a channel is shown: "DEVICE/NAME", the form parse_channel_ref reads back.
std::string channel_label(const zu::CChannel& channel);

}  // namespace cdsctl

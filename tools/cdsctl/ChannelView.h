#pragma once
// How channels are shown by tree, device show, channel list and get.
#include <vector>

#include "Output.h"
#include "cdsapi/InBandAccessor.h"
#include "zu/CChannel.h"
#include "zu/CValue.h"

namespace cdsctl {

struct ChannelInfo {
  zu::CChannel channel;
  zu::CValue value;
};

// The channels and their values, in the order of `ids`; a channel removed
// meanwhile is left out.
std::vector<ChannelInfo> load_channels(cdsapi::InBandAccessor& cds, const std::vector<unsigned long long>& ids);

// "-" without triggers, else "N trigger(s)" with ", disabled" or ", ACTIVE".
std::string alarm_summary(const zu::CChannel& channel);

// ID NAME TYPE VALUE ALARMS DESCRIPTION, the value with its units.
Table channel_table(const std::vector<ChannelInfo>& channels);
// {"id", "device", "name", "type", "value", "units", "description", "alarms": {...}}
void channel_json(Json& json, const ChannelInfo& info);

}  // namespace cdsctl

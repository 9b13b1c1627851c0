#include "ChannelView.h"

#include "Values.h"

namespace cdsctl {

std::vector<ChannelInfo> load_channels(cdsapi::InBandAccessor& cds, const std::vector<unsigned long long>& ids) {
  std::vector<ChannelInfo> out;
  for (unsigned long long id : ids) {
    ChannelInfo info;
    try {
      info.channel = cds.getChannel(id);
      info.value = cds.getChannelCValue(id);
    } catch (const std::exception&) {
      continue;
    }
    out.push_back(std::move(info));
  }
  return out;
}

std::string alarm_summary(const zu::CChannel& channel) {
  const std::size_t n = channel.triggers.size();
  if (n == 0) return "-";
  std::string text = std::to_string(n) + (n == 1 ? " trigger" : " triggers");
  if (channel.state.test(zu::realtime_state::alarm_disabled)) text += ", disabled";
  else if (channel.state.test(zu::realtime_state::alarm_active)) text += ", ACTIVE";
  return text;
}

Table channel_table(const std::vector<ChannelInfo>& channels) {
  Table table({"ID", "NAME", "TYPE", "VALUE", "ALARMS", "DESCRIPTION"});
  for (const ChannelInfo& c : channels) {
    const auto& settings = *c.channel.settings();
    table.add({std::to_string(c.channel.id()), c.channel.name, zu::type_name(settings.data_type),
               value_with_units(c.value, settings.units), alarm_summary(c.channel), settings.description});
  }
  return table;
}

void channel_json(Json& json, const ChannelInfo& info) {
  const auto& settings = *info.channel.settings();
  json.begin_object();
  json.key("id").number(static_cast<unsigned long long>(info.channel.id()));
  json.key("device").number(static_cast<unsigned long long>(info.channel.device_id));
  json.key("name").string(info.channel.name);
  json.key("type").string(zu::type_name(settings.data_type));
  json.key("value").value(info.value);
  json.key("units").string(settings.units);
  json.key("description").string(settings.description);
  json.key("alarms").begin_object();
  json.key("triggers").number(static_cast<unsigned long long>(info.channel.triggers.size()));
  json.key("enabled").boolean(!info.channel.state.test(zu::realtime_state::alarm_disabled));
  json.key("active").boolean(info.channel.state.test(zu::realtime_state::alarm_active));
  json.end_object();
  json.end_object();
}

}  // namespace cdsctl

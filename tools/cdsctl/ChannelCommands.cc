// channel list|create|remove, get and set.
#include <optional>

#include "ChannelView.h"
#include "Commands.h"
#include "Output.h"
#include "Values.h"

namespace cdsctl {
namespace {

std::vector<ChannelRef> channel_refs(Args& args) {
  std::vector<ChannelRef> refs;
  for (const std::string& word : args.rest()) refs.push_back(parse_channel_ref(word));
  if (refs.empty()) throw UsageError("missing CHANNEL");
  return refs;
}

int run_list(Args& args, Context& ctx) {
  const unsigned long long device_id = parse_id(args.positional("DEVICE"), "DEVICE");
  args.finish();
  auto& cds = ctx.cds();
  zu::CDevice device = find_device(cds, device_id);
  std::vector<ChannelInfo> channels = load_channels(cds, {device.channels.begin(), device.channels.end()});
  if (ctx.json) {
    Json json;
    json.begin_object().key("device").number(device_id).key("channels").begin_array();
    for (const ChannelInfo& c : channels) channel_json(json, c);
    print(json.end_array().end_object().text() + "\n");
  } else {
    print(channels.empty() ? "device " + std::to_string(device_id) + " has no channels\n"
                           : channel_table(channels).render());
  }
  return 0;
}

int run_create(Args& args, Context& ctx) {
  std::optional<std::string> description = args.option("--description");
  std::optional<std::string> units = args.option("--units");
  const unsigned long long device_id = parse_id(args.positional("DEVICE"), "DEVICE");
  const std::string name = args.positional("NAME");
  args.finish();
  if (name.empty()) throw UsageError("the channel name is empty");
  if (name.find('/') != std::string::npos) throw UsageError("a channel name cannot hold '/' (DEVICE/NAME names a channel)");
  auto& cds = ctx.cds();
  find_device(cds, device_id);
  unsigned long long id;
  try {
    id = cds.createChannel(device_id, name, false);
  } catch (const std::invalid_argument&) {
    throw Failure("the data store refused to create channel '" + name + "' on device " + std::to_string(device_id) +
                  " (is the name taken?)");
  }
  if (description && !cds.setChannelDescription(id, *description))
    throw Failure("created channel " + std::to_string(id) + " but could not set its description");
  if (units && !cds.setChannelUnits(id, *units))
    throw Failure("created channel " + std::to_string(id) + " but could not set its units");
  if (ctx.json) print(Json().begin_object().key("id").number(id).key("device").number(device_id).end_object().text() + "\n");
  else print("created channel " + std::to_string(id) + " (" + std::to_string(device_id) + "/" + name + ")\n");
  return 0;
}

int run_remove(Args& args, Context& ctx) {
  std::vector<ChannelRef> refs = channel_refs(args);
  args.finish();
  auto& cds = ctx.cds();
  std::vector<unsigned long long> ids;
  for (const ChannelRef& ref : refs) ids.push_back(find_channel(cds, ref).id());
  try {
    cds.removeChannels(ids);
  } catch (const std::invalid_argument&) {
    throw Failure("the data store refused to remove the channels");
  }
  if (ctx.json) {
    Json json;
    json.begin_object().key("removed").begin_array();
    for (auto id : ids) json.number(id);
    print(json.end_array().end_object().text() + "\n");
  }
  return 0;
}

int run_get(Args& args, Context& ctx) {
  std::vector<ChannelRef> refs = channel_refs(args);
  args.finish();
  auto& cds = ctx.cds();
  std::vector<unsigned long long> ids;
  for (const ChannelRef& ref : refs) ids.push_back(find_channel(cds, ref).id());
  std::vector<ChannelInfo> channels = load_channels(cds, ids);
  if (channels.size() != ids.size()) throw Failure("a channel was removed while it was read");
  if (ctx.json) {
    Json json;
    json.begin_object().key("channels").begin_array();
    for (const ChannelInfo& c : channels) channel_json(json, c);
    print(json.end_array().end_object().text() + "\n");
    return 0;
  }
  // One channel: its value alone, for scripts; several: a line each.
  if (channels.size() == 1) {
    print(value_with_units(channels[0].value, channels[0].channel.settings()->units) + "\n");
    return 0;
  }
  Table table;
  for (const ChannelInfo& c : channels)
    table.add({channel_label(c.channel), value_with_units(c.value, c.channel.settings()->units)});
  print(table.render());
  return 0;
}

int run_set(Args& args, Context& ctx) {
  std::optional<std::string> type_text = args.option("--type");
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  const std::string text = args.positional("VALUE");
  args.finish();
  std::optional<std::uint8_t> given;
  if (type_text) {
    given = type_from_name(*type_text);
    if (!given) throw UsageError("unknown data type '" + *type_text + "' (known: " + type_names() + ")");
  }
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  // The channel's type decides how the text reads; a channel never written
  // has none yet and takes the one given.
  std::uint8_t type = channel.settings()->data_type;
  if (type == zu::type_none) {
    if (!given)
      throw Failure("channel " + channel_label(channel) + " has no data type yet: give one with --type (" +
                    type_names() + ")");
    type = *given;
  } else if (given && *given != type) {
    throw Failure("channel " + channel_label(channel) + " holds " + zu::type_name(type) + " values, not " +
                  zu::type_name(*given));
  }
  zu::CValue value = parse_value(text, type);
  cds.setChannelCValue(channel.id(), value);
  // The write is not answered: read it back to know it was taken.
  if (!(cds.getChannelCValue(channel.id()) == value))
    throw Failure("the data store did not take the value for channel " + channel_label(channel));
  if (ctx.json) {
    Json json;
    json.begin_object().key("id").number(static_cast<unsigned long long>(channel.id()));
    json.key("type").string(zu::type_name(type)).key("value").value(value);
    print(json.end_object().text() + "\n");
  } else {
    print(channel_label(channel) + " = " + value_with_units(value, channel.settings()->units) + "\n");
  }
  return 0;
}

}  // namespace

const std::vector<Command>& channel_commands() {
  static const std::vector<Command> commands = {
      {"channel list", "channel list DEVICE\n\nThe device's channels with their types, values and alarm state.\n",
       "list a device's channels", run_list},
      {"channel create",
       "channel create DEVICE NAME [--description TEXT] [--units TEXT]\n\n"
       "Creates a channel; its data type is fixed by the first value written (set --type).\n",
       "create a channel", run_create},
      {"channel remove", "channel remove CHANNEL...\n\nRemoves channels. CHANNEL is an id or DEVICE/NAME.\n",
       "remove channels", run_remove},
      {"get", "get CHANNEL...\n\nThe channels' values with their units. CHANNEL is an id or DEVICE/NAME.\n",
       "read channel values", run_get},
      {"set",
       "set CHANNEL VALUE [--type TYPE]\n\n"
       "Writes VALUE, read as the channel's data type; text that is not a value of that type,\n"
       "or does not fit in it, is refused. A channel never written takes --type TYPE: bool,\n"
       "int32, int64, uint32, uint64, float, double, timestamp (seconds or\n"
       "YYYY-MM-DDTHH:MM:SSZ), string, bytes (hexadecimal). Put -- before a value that\n"
       "starts with --.\n",
       "write a channel value", run_set},
  };
  return commands;
}

}  // namespace cdsctl

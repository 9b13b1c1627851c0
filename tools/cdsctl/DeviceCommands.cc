// tree and device show|create|remove|set.
#include <map>
#include <optional>

#include "ChannelView.h"
#include "Commands.h"
#include "Output.h"
#include "Values.h"
#include "tova/common/Uuid.h"

namespace cdsctl {
namespace {

// One KEY=VALUE of device create and device set: an identity attribute by its
// key, "uuid" or "communicating".
struct Assignment {
  std::string key;
  std::string value;
  int attribute = -1;  // 1..15, 0 for the UUID, -1 for communicating
};

std::string attribute_keys() {
  std::string out;
  for (int n = 1; n <= 15; ++n)
    out += cdsapi::InBandAccessor::attributeToString(static_cast<cdsapi::DeviceAttribute>(n)) + ", ";
  return out + "uuid, communicating";
}

std::vector<Assignment> parse_assignments(const std::vector<std::string>& words) {
  std::vector<Assignment> out;
  for (const std::string& word : words) {
    std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("expected KEY=VALUE, not '" + word + "'");
    Assignment a;
    a.key = word.substr(0, eq);
    a.value = word.substr(eq + 1);
    if (a.key == "uuid") {
      a.attribute = 0;
      try {
        tova::common::Uuid check(a.value);
        (void)check;
      } catch (const std::invalid_argument&) {
        throw UsageError("'" + a.value + "' is not a UUID");
      }
    } else if (a.key == "communicating") {
      if (a.value != "true" && a.value != "false") throw UsageError("communicating must be true or false");
    } else {
      for (int n = 1; n <= 15 && a.attribute < 0; ++n)
        if (a.key == cdsapi::InBandAccessor::attributeToString(static_cast<cdsapi::DeviceAttribute>(n))) a.attribute = n;
      if (a.attribute < 0) throw UsageError("unknown device attribute '" + a.key + "' (known: " + attribute_keys() + ")");
    }
    out.push_back(std::move(a));
  }
  return out;
}

// Writes the assignments and reads the device back: attribute writes are not
// answered, so a refusal shows only as a value that did not change.
void apply(cdsapi::InBandAccessor& cds, unsigned long long id, const std::vector<Assignment>& assignments) {
  for (const Assignment& a : assignments) {
    if (a.key == "communicating") cds.setDeviceCommunicating(id, a.value == "true");
    else if (a.attribute == 0) cds.setDeviceUuid(id, tova::common::Uuid(a.value));
    else cds.setDeviceAttribute(id, static_cast<cdsapi::DeviceAttribute>(a.attribute), a.value);
  }
  if (assignments.empty()) return;
  zu::CDevice device = find_device(cds, id);
  for (const Assignment& a : assignments) {
    bool taken;
    if (a.key == "communicating") taken = device.communicating == (a.value == "true");
    else if (a.attribute == 0) taken = cdsapi::InBandAccessor::getDeviceUuid(device) == tova::common::Uuid(a.value);
    else taken = *device.attribute(static_cast<unsigned>(a.attribute)) == a.value;
    if (!taken) throw Failure("the data store did not take " + a.key + " of device " + std::to_string(id));
  }
}

std::string device_name(const zu::CDevice& device) {
  const std::string& name = *device.attribute(cdsapi::Name);
  return name.empty() ? "(unnamed)" : name;
}

std::string parent_text(const zu::CDevice& device) {
  if (!device.parent_id || *device.parent_id == zu::kNoId) return "-";
  return std::to_string(*device.parent_id);
}

void device_json(Json& json, const zu::CDevice& device) {
  json.key("id").number(static_cast<unsigned long long>(device.id));
  json.key("parent");
  if (device.parent_id && *device.parent_id != zu::kNoId) json.number(static_cast<unsigned long long>(*device.parent_id));
  else json.null();
  tova::common::Uuid uuid = cdsapi::InBandAccessor::getDeviceUuid(device);
  json.key("uuid");
  if (uuid.isNil()) json.null();
  else json.string(uuid.to_string());
  json.key("communicating").boolean(device.communicating);
  json.key("attributes").begin_object();
  for (unsigned n = 1; n <= 15; ++n)
    if (!device.attribute(n)->empty())
      json.key(cdsapi::InBandAccessor::attributeToString(static_cast<cdsapi::DeviceAttribute>(n))).string(*device.attribute(n));
  json.end_object();
  json.key("sub_devices").begin_array();
  for (auto id : device.sub_devices) json.number(static_cast<unsigned long long>(id));
  json.end_array();
}

int run_tree(Args& args, Context& ctx) {
  std::optional<std::string> root_text = args.next_positional();
  const unsigned long long root = root_text ? parse_id(*root_text, "DEVICE") : kManagerDevice;
  args.finish();
  auto& cds = ctx.cds();
  find_device(cds, root);
  std::vector<zu::CDevice> devices = cds.getDevices(root, 2147483647U);
  // Depth from the parent links: a device comes after its parent in the answer.
  std::map<unsigned long long, int> depth;
  Json json;
  std::string text;
  json.begin_object().key("devices").begin_array();
  for (const zu::CDevice& d : devices) {
    int level = 0;
    if (d.parent_id) {
      auto parent = depth.find(*d.parent_id);
      if (parent != depth.end() && d.id != root) level = parent->second + 1;
    }
    depth[d.id] = level;
    std::vector<ChannelInfo> channels = load_channels(cds, {d.channels.begin(), d.channels.end()});
    if (ctx.json) {
      json.begin_object();
      device_json(json, d);
      json.key("depth").number(static_cast<long long>(level));
      json.key("channels").begin_array();
      for (const ChannelInfo& c : channels) channel_json(json, c);
      json.end_array().end_object();
      continue;
    }
    const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
    std::string line = indent + "[" + std::to_string(d.id) + "] " + device_name(d);
    for (unsigned n : {unsigned(cdsapi::CanonicalModelName), unsigned(cdsapi::Serial)})
      if (!d.attribute(n)->empty()) line += "  " + *d.attribute(n);
    if (d.communicating) line += "  (communicating)";
    text += line + "\n";
    Table table;
    for (const ChannelInfo& c : channels) {
      const auto& settings = *c.channel.settings();
      table.add({std::to_string(c.channel.id()), c.channel.name, value_with_units(c.value, settings.units),
                 zu::type_name(settings.data_type), alarm_summary(c.channel)});
    }
    text += table.render(indent + "    ");
  }
  json.end_array().end_object();
  print(ctx.json ? json.text() + "\n" : text);
  return 0;
}

int run_show(Args& args, Context& ctx) {
  const DeviceRef ref = parse_device_ref(args.positional("DEVICE"));
  args.finish();
  auto& cds = ctx.cds();
  zu::CDevice device = find_device(cds, ref);
  std::vector<ChannelInfo> channels = load_channels(cds, {device.channels.begin(), device.channels.end()});
  if (ctx.json) {
    Json json;
    json.begin_object();
    device_json(json, device);
    json.key("channels").begin_array();
    for (const ChannelInfo& c : channels) channel_json(json, c);
    json.end_array().end_object();
    print(json.text() + "\n");
    return 0;
  }
  Table fields;
  fields.add({"id", std::to_string(device.id)});
  fields.add({"parent", parent_text(device)});
  std::string subs;
  for (auto s : device.sub_devices) subs += (subs.empty() ? "" : " ") + std::to_string(s);
  fields.add({"sub-devices", subs.empty() ? "-" : subs});
  tova::common::Uuid uuid = cdsapi::InBandAccessor::getDeviceUuid(device);
  fields.add({"uuid", uuid.isNil() ? "-" : uuid.to_string()});
  fields.add({"communicating", device.communicating ? "yes" : "no"});
  for (unsigned n = 1; n <= 15; ++n)
    if (!device.attribute(n)->empty())
      fields.add({cdsapi::InBandAccessor::attributeToString(static_cast<cdsapi::DeviceAttribute>(n)), *device.attribute(n)});
  std::string text = fields.render();
  text += channels.empty() ? "no channels\n" : "\n" + channel_table(channels).render();
  print(text);
  return 0;
}

int run_create(Args& args, Context& ctx) {
  std::optional<std::string> parent_text = args.option("--parent");
  std::optional<std::string> id_text = args.option("--id");
  const unsigned long long parent = parent_text ? parse_id(*parent_text, "--parent") : kManagerDevice;
  const unsigned long long wanted = id_text ? parse_id(*id_text, "--id") : 0;
  std::vector<Assignment> assignments = parse_assignments(args.rest());
  args.finish();
  auto& cds = ctx.cds();
  find_device(cds, parent);
  unsigned long long id;
  try {
    id = cds.createDevice(wanted, parent, id_text.has_value());
  } catch (const std::exception&) {
    throw Failure(id_text ? "the data store refused to create device " + *id_text + " (is the id taken?)"
                          : "the data store refused to create a device under " + std::to_string(parent));
  }
  apply(cds, id, assignments);
  if (ctx.json) print(Json().begin_object().key("id").number(id).key("parent").number(parent).end_object().text() + "\n");
  else print("created device " + std::to_string(id) + " under " + std::to_string(parent) + "\n");
  return 0;
}

int run_set(Args& args, Context& ctx) {
  const unsigned long long id = parse_id(args.positional("DEVICE"), "DEVICE");
  std::vector<Assignment> assignments = parse_assignments(args.rest());
  if (assignments.empty()) throw UsageError("missing KEY=VALUE");
  args.finish();
  auto& cds = ctx.cds();
  find_device(cds, id);
  apply(cds, id, assignments);
  if (ctx.json) print(Json().begin_object().key("id").number(id).end_object().text() + "\n");
  return 0;
}

int run_remove(Args& args, Context& ctx) {
  std::vector<unsigned long long> ids;
  for (const std::string& word : args.rest()) ids.push_back(parse_id(word, "DEVICE"));
  if (ids.empty()) throw UsageError("missing DEVICE");
  args.finish();
  auto& cds = ctx.cds();
  for (unsigned long long id : ids) find_device(cds, id);
  // The removal is not answered: what is still there was refused.
  cds.removeDevices(ids);
  for (const zu::CDevice& left : cds.getDevices(ids, 0))
    throw Failure("the data store did not remove device " + std::to_string(left.id));
  if (ctx.json) {
    Json json;
    json.begin_object().key("removed").begin_array();
    for (auto id : ids) json.number(id);
    print(json.end_array().end_object().text() + "\n");
  }
  return 0;
}

}  // namespace

const std::vector<Command>& device_commands() {
  static const std::vector<Command> commands = {
      {"tree", "tree [DEVICE]\n\nThe devices under DEVICE (default 1, the manager device) with their channels and values.\n",
       "show the device tree with channel values", run_tree},
      {"device show",
       "device show DEVICE\n\nThe device's parent, sub-devices, UUID, attributes and channels. DEVICE is its id or\n"
       "its UUID (36 characters with dashes, or 32 hex digits).\n",
       "show one device", run_show},
      {"device create",
       "device create [--parent DEVICE] [--id ID] [KEY=VALUE...]\n\n"
       "Creates a device under --parent (default 1), with the id --id or one the data store\n"
       "chooses, and sets the attributes given (see device set). Prints the new id.\n",
       "create a device", run_create},
      {"device set",
       "device set DEVICE KEY=VALUE...\n\n"
       "Sets device attributes. Keys: family, model_series, config_file, profile_file, model,\n"
       "name, canonical_model_name, network_address, serial, vendor, asset_id, location,\n"
       "contact, hardware_version, software_version; uuid (a UUID); communicating (true|false).\n",
       "set device attributes", run_set},
      {"device remove", "device remove DEVICE...\n\nRemoves the devices with their sub-devices and channels.\n",
       "remove devices", run_remove},
  };
  return commands;
}

}  // namespace cdsctl

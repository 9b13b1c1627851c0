#include "Seed.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

#include "zu/CDevice.h"
#include "zu/cds/Records.h"

namespace cdsd {
namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

// A fault in the document, with the place it was found at.
struct SeedError {
  std::string text;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) { throw SeedError{where + ": " + what}; }

void only_keys(const Struct& object, const std::string& where, const std::set<std::string>& allowed) {
  for (const auto& field : object.fields())
    if (allowed.count(field.first) == 0) fail(where, "unknown key \"" + field.first + "\"");
}

const Value* member(const Struct& object, const char* key) {
  auto it = object.fields().find(key);
  return it == object.fields().end() ? nullptr : &it->second;
}

std::string text_of(const Value& v, const std::string& where) {
  if (v.kind_case() != Value::kStringValue) fail(where, "expected a text");
  return v.string_value();
}

std::uint64_t id_of(const Value& v, const std::string& where) {
  const double d = v.number_value();
  // Integers above 2^53 do not survive a JSON number exactly.
  if (v.kind_case() != Value::kNumberValue || d < 1 || d > 9007199254740992.0 || std::floor(d) != d)
    fail(where, "expected an id: a whole number from 1 to 2^53");
  return static_cast<std::uint64_t>(d);
}

const google::protobuf::ListValue& list_of(const Value& v, const std::string& where) {
  if (v.kind_case() != Value::kListValue) fail(where, "expected a list");
  return v.list_value();
}

const Struct& object_of(const Value& v, const std::string& where) {
  if (v.kind_case() != Value::kStructValue) fail(where, "expected an object");
  return v.struct_value();
}

// A JSON value as a store value: a whole number as int32 (int64 past its
// range), another number as double, unless `type` names the type wanted.
zu::CValue value_of(const Value& v, const std::string& type, const std::string& where) {
  zu::CValue natural;
  switch (v.kind_case()) {
    case Value::kBoolValue: natural = zu::CValue(v.bool_value()); break;
    case Value::kStringValue: natural = zu::CValue(v.string_value()); break;
    case Value::kNumberValue: {
      const double d = v.number_value();
      if (std::floor(d) == d && std::fabs(d) <= 9007199254740992.0) {
        if (d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max())
          natural = zu::CValue(static_cast<int>(d));
        else
          natural = zu::CValue(static_cast<long long>(d));
      } else {
        natural = zu::CValue(d);
      }
      break;
    }
    default: fail(where, "expected a number, a text or true/false");
  }
  if (type.empty()) return natural;
  static const std::pair<const char*, std::uint8_t> kTypes[] = {
      {"bool", zu::type_bool},     {"int32", zu::type_int32},   {"int64", zu::type_int64},
      {"uint32", zu::type_uint32}, {"uint64", zu::type_uint64}, {"float", zu::type_float},
      {"double", zu::type_double}, {"string", zu::type_string}};
  for (const auto& t : kTypes) {
    if (type != t.first) continue;
    if (auto converted = natural.convert_lossless(t.second)) return *converted;
    fail(where, "the value does not fit the type \"" + type + "\" without loss");
  }
  fail(where, "unknown type \"" + type + "\" (bool, int32, int64, uint32, uint64, float, double or string)");
}

class Loader {
 public:
  explicit Loader(cds::store::Engine& engine) : engine_(engine), session_(engine.open_session("cdsd-seed", nullptr)) {}
  ~Loader() { engine_.close_session(session_); }

  void devices(const Value& list, const std::string& where, std::uint64_t default_parent) {
    const auto& items = list_of(list, where).values();
    for (int i = 0; i < items.size(); ++i) device(items[i], where + "[" + std::to_string(i) + "]", default_parent);
  }

 private:
  template <typename R>
  std::shared_ptr<R> ask(const R& request, const std::string& where) {
    auto response = std::dynamic_pointer_cast<R>(engine_.handle(session_, request));
    if (!response || response->status != zu::cds::status_ok)
      fail(where, std::string("the store refused it: ") + (response ? response->get_status_text() : "no answer"));
    return response;
  }

  void device(const Value& item, const std::string& where, std::uint64_t default_parent) {
    const Struct& object = object_of(item, where);
    only_keys(object, where, {"id", "parent", "uuid", "attributes", "channels", "children"});
    zu::CDevice device;
    zu::cds::CCreateDevice create;
    if (const Value* id = member(object, "id")) {
      device.id = id_of(*id, where + ".id");
      create.use_given_ids = true;
    }
    const Value* parent = member(object, "parent");
    device.parent_id = parent ? id_of(*parent, where + ".parent") : default_parent;
    if (const Value* uuid = member(object, "uuid")) device.guid = text_of(*uuid, where + ".uuid");

    // Identity attributes travel with the device; other keys become its extra fields.
    zu::cds::CSetFieldValue extra;
    if (const Value* attributes = member(object, "attributes")) {
      for (const auto& [key, value] : object_of(*attributes, where + ".attributes").fields()) {
        const std::string at = where + ".attributes." + key;
        if (unsigned n = zu::device_attribute_number(key)) {
          *device.attribute(n) = value.kind_case() == Value::kStringValue ? value.string_value()
                                                                           : value_of(value, "", at).as_string();
        } else {
          zu::cds::CSingleField field;
          field.field_kind = 1;
          field.name = key;
          field.value = value_of(value, "", at);
          extra.fields.insert(field);
        }
      }
    }
    create.devices.push_back(device);
    auto created = ask(create, where);
    if (created->devices.empty()) fail(where, "the store created no device");
    const std::uint64_t id = created->devices.front().id;
    if (!extra.fields.empty()) {
      zu::cds::CSetFieldValue set;
      for (zu::cds::CSingleField field : extra.fields) {
        field.id = id;
        set.fields.insert(field);
      }
      ask(set, where + ".attributes");
    }
    if (const Value* channels = member(object, "channels")) {
      const auto& items = list_of(*channels, where + ".channels").values();
      for (int i = 0; i < items.size(); ++i) channel(items[i], where + ".channels[" + std::to_string(i) + "]", id);
    }
    if (const Value* children = member(object, "children")) devices(*children, where + ".children", id);
  }

  void channel(const Value& item, const std::string& where, std::uint64_t device) {
    const Struct& object = object_of(item, where);
    only_keys(object, where, {"id", "name", "description", "units", "value", "type"});
    zu::cds::CCreateSingleChannel single;
    single.device_id = device;
    const Value* name = member(object, "name");
    if (!name) fail(where, "a channel needs a \"name\"");
    single.name = text_of(*name, where + ".name");
    if (const Value* id = member(object, "id")) single.channel_id = id_of(*id, where + ".id");
    zu::cds::CCreateChannel create;
    create.requests.push_back(single);
    auto created = ask(create, where);
    if (created->channels.empty()) fail(where, "the store created no channel");
    const std::uint64_t id = created->channels.front().id();

    const Value* description = member(object, "description");
    const Value* units = member(object, "units");
    if (description || units) {
      zu::CChannelSettings settings;
      settings.id = id;
      if (description) settings.description = text_of(*description, where + ".description");
      if (units) settings.units = text_of(*units, where + ".units");
      zu::cds::CUpdateChannelSettings update;
      update.settings.push_back(settings);
      ask(update, where);
    }
    std::string type;
    if (const Value* t = member(object, "type")) type = text_of(*t, where + ".type");
    if (const Value* value = member(object, "value")) {
      zu::cds::CUpdateChannelValue write;
      zu::cds::CUpdateSingleChannelValue entry;
      entry.channel_id = id;
      entry.value = value_of(*value, type, where + ".value");
      write.values.push_back(entry);
      write.time = zu::CWallTime::now();
      ask(write, where + ".value");
    } else if (!type.empty()) {
      fail(where, "a \"type\" needs a \"value\"");
    }
  }

  cds::store::Engine& engine_;
  cds::store::SessionId session_;
};

}  // namespace

bool load_seed(const std::string& path, cds::store::Engine& engine, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the seed file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return load_seed_text(text.str(), "the seed file " + path, engine, error);
}

bool load_seed_text(const std::string& text, const std::string& source, cds::store::Engine& engine,
                    std::string* error) {
  Value document;
  auto status = google::protobuf::util::JsonStringToMessage(text, &document);
  if (!status.ok()) {
    *error = source + " is not valid JSON: " + std::string(status.message());
    return false;
  }
  try {
    const Struct& root = object_of(document, "the document");
    only_keys(root, "the document", {"devices"});
    const Value* devices = member(root, "devices");
    if (!devices) fail("the document", "no \"devices\" list");
    Loader(engine).devices(*devices, "devices", 1);
  } catch (const SeedError& e) {
    *error = source + ": " + e.text;
    return false;
  }
  return true;
}

}  // namespace cdsd

#include "zu/JSON2Protobuf.h"

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

#include "zu/proto/zu.pb.h"

namespace zu {
namespace {

namespace gp = google::protobuf;

void from_value(const gp::Value& in, proto::toolkitValue& out);

void from_struct(const gp::Struct& in, proto::toolkitStruct& out) {
  for (const auto& [key, value] : in.fields()) from_value(value, (*out.mutable_fields())[key]);
}

void from_value(const gp::Value& in, proto::toolkitValue& out) {
  switch (in.kind_case()) {
    case gp::Value::kNumberValue: out.set_number_value(in.number_value()); break;
    case gp::Value::kStringValue: out.set_string_value(in.string_value()); break;
    case gp::Value::kBoolValue: out.set_bool_value(in.bool_value()); break;
    case gp::Value::kStructValue: from_struct(in.struct_value(), *out.mutable_struct_value()); break;
    case gp::Value::kListValue: {
      // Made before filling, so an empty list stays a list.
      auto& list = *out.mutable_list_value();
      for (const auto& v : in.list_value().values()) from_value(v, *list.add_values());
      break;
    }
    default: out.set_null_value(proto::NULL_VALUE); break;
  }
}

void to_value(const proto::toolkitValue& in, gp::Value& out);

void to_struct(const proto::toolkitStruct& in, gp::Struct& out) {
  for (const auto& [key, value] : in.fields()) to_value(value, (*out.mutable_fields())[key]);
}

void to_value(const proto::toolkitValue& in, gp::Value& out) {
  switch (in.kind_case()) {
    case proto::toolkitValue::kNumberValue: out.set_number_value(in.number_value()); break;
    case proto::toolkitValue::kStringValue: out.set_string_value(in.string_value()); break;
    case proto::toolkitValue::kBoolValue: out.set_bool_value(in.bool_value()); break;
    case proto::toolkitValue::kStructValue: to_struct(in.struct_value(), *out.mutable_struct_value()); break;
    case proto::toolkitValue::kListValue: {
      auto& list = *out.mutable_list_value();
      for (const auto& v : in.list_value().values()) to_value(v, *list.add_values());
      break;
    }
    default: out.set_null_value(gp::NULL_VALUE); break;
  }
}

}  // namespace

std::string JSON2Protobuf(const std::string& json, std::vector<std::shared_ptr<gp::Message>>& messages) {
  try {
    gp::Value root;
    auto status = gp::util::JsonStringToMessage(json, &root);
    if (!status.ok()) return "invalid JSON: " + status.ToString();
    std::vector<std::shared_ptr<gp::Message>> out;
    auto add = [&out](const gp::Value& v) -> bool {
      if (v.kind_case() != gp::Value::kStructValue) return false;
      auto doc = std::make_shared<proto::toolkitStruct>();
      from_struct(v.struct_value(), *doc);
      out.push_back(std::move(doc));
      return true;
    };
    if (root.kind_case() == gp::Value::kListValue) {
      for (const auto& v : root.list_value().values())
        if (!add(v)) return "invalid JSON document: every element of the array must be an object";
    } else if (!add(root)) {
      return "invalid JSON document: expected an object or an array of objects";
    }
    messages.insert(messages.end(), out.begin(), out.end());
    return std::string();
  } catch (const std::exception& e) {
    return std::string("invalid JSON: ") + e.what();
  }
}

std::string Protobuf2JSON(const gp::Message& message) {
  std::string out;
  try {
    if (auto doc = dynamic_cast<const proto::toolkitStruct*>(&message)) {
      gp::Struct s;
      to_struct(*doc, s);
      if (!gp::util::MessageToJsonString(s, &out).ok()) return std::string();
      return out;
    }
    // A value inside a document reads as its plain JSON too.
    if (auto value = dynamic_cast<const proto::toolkitValue*>(&message)) {
      gp::Value v;
      to_value(*value, v);
      if (!gp::util::MessageToJsonString(v, &out).ok()) return std::string();
      return out;
    }
    if (!gp::util::MessageToJsonString(message, &out).ok()) return std::string();
  } catch (const std::exception&) {
    return std::string();
  }
  return out;
}

}  // namespace zu

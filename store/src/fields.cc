// Named fields: device attributes, extra fields of a device, fields inside a
// scope of a device, and fields of out-of-band documents.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store_data.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::CSingleField;
using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;

namespace {

enum field_kind : std::uint32_t {
  kind_device = 1,          // an attribute or an extra field of a known device
  kind_unknown_device = 2,  // the sender found no such device
  kind_scoped = 3,          // a field inside a scope of a known device
  kind_document = 4,        // a field of the out-of-band document at path `scope`
};

// The answer for one field: a status, and the value read or to be stored.
struct FieldOutcome {
  std::uint32_t status = status_ok;
  std::string message;
  zu::CValue value;
};

FieldOutcome failed(std::uint32_t status, std::string message) {
  FieldOutcome out;
  out.status = status;
  out.message = std::move(message);
  return out;
}

FieldOutcome found(zu::CValue value) {
  FieldOutcome out;
  out.value = std::move(value);
  return out;
}

std::string field_text(const CSingleField& field) { return "field \"" + field.name + "\""; }

// Identity attributes are texts: numbers and flags are kept as their text,
// byte vectors are refused (they may hold anything, a NUL included).
std::optional<std::string> attribute_text(const zu::CValue& value) {
  if (const std::string* text = value.get_if<std::string>()) return *text;
  if (value.type() == zu::type_bytes) return std::nullopt;
  return value.as_string();
}

// Checks that a field designates something the store keeps; the device when it has one.
const DeviceNode* owner_device(const StoreData& data, const CSingleField& field, FieldOutcome& problem) {
  if (field.name.empty()) {
    problem = failed(status_invalid, "a field needs a name");
    return nullptr;
  }
  const DeviceNode* device = data.device(field.id);
  if (!device) problem = failed(status_refused, "unknown device " + std::to_string(field.id));
  else if (field.field_kind == kind_scoped && field.scope.empty())
    problem = failed(status_invalid, field_text(field) + " needs a scope");
  return device && problem.status == status_ok ? device : nullptr;
}

FieldOutcome check_kind(const CSingleField& field) {
  switch (field.field_kind) {
    case kind_device:
    case kind_scoped:
    case kind_document:
      return FieldOutcome();
    case kind_unknown_device:
      return failed(status_refused, field_text(field) + " belongs to a device the store does not know");
    default:
      return failed(status_invalid, "invalid field kind " + std::to_string(field.field_kind));
  }
}

FieldOutcome read_field(const StoreData& data, const CSingleField& field) {
  FieldOutcome problem = check_kind(field);
  if (problem.status != status_ok) return problem;
  if (field.field_kind == kind_document) return found(document_field(data, field.scope, field.name));
  const DeviceNode* device = owner_device(data, field, problem);
  if (!device) return problem;

  if (field.field_kind == kind_device) {
    if (unsigned n = zu::device_attribute_number(field.name)) return found(zu::CValue(*device->record.attribute(n)));
    auto it = device->extra_fields.find(field.name);
    if (it != device->extra_fields.end()) return found(it->second);
    return failed(status_refused, "device " + std::to_string(field.id) + " has no " + field_text(field));
  }
  auto scope = device->scoped_fields.find(field.scope);
  if (scope != device->scoped_fields.end()) {
    auto it = scope->second.find(field.name);
    if (it != scope->second.end()) return found(it->second);
  }
  return failed(status_refused, "device " + std::to_string(field.id) + " has no " + field_text(field) +
                                    " in scope \"" + field.scope + "\"");
}

// A document field is checked against the document as the request's earlier
// fields leave it, and staged in `documents`.
FieldOutcome check_document_write(const StoreData& data, const CSingleField& field, DocumentFieldWrites& documents) {
  if (field.name.empty()) return failed(status_invalid, "a field needs a name");
  if (field.scope.empty()) return failed(status_invalid, field_text(field) + " needs the path of its document as scope");
  auto [status, message] = documents.stage(data, field.scope, field.name, field.value);
  if (status != status_ok) return failed(status, std::move(message));
  return found(field.value);
}

// The value a write of `field` would store, or why it cannot be written.
FieldOutcome check_write(const StoreData& data, const CSingleField& field, DocumentFieldWrites& documents) {
  FieldOutcome problem = check_kind(field);
  if (problem.status != status_ok) return problem;
  if (!field.value.is_valid()) return failed(status_invalid, field_text(field) + " has no value");
  if (field.field_kind == kind_document) return check_document_write(data, field, documents);
  if (!owner_device(data, field, problem)) return problem;
  if (field.field_kind == kind_device && zu::device_attribute_number(field.name) != 0) {
    auto text = attribute_text(field.value);
    if (!text) return failed(status_refused, "attribute \"" + field.name + "\" takes a text, not bytes");
    return found(zu::CValue(std::move(*text)));
  }
  return found(field.value);
}

// Document fields are not written here: their staged documents are stored whole.
void write_field(StoreData& data, const CSingleField& field, const zu::CValue& value, ChangeSet& changes) {
  if (field.field_kind == kind_document) return;
  DeviceNode& device = *data.device(field.id);
  if (field.field_kind == kind_device) {
    if (unsigned n = zu::device_attribute_number(field.name)) {
      std::string& attribute = *device.record.attribute(n);
      const std::string& text = *value.get_if<std::string>();
      if (attribute != text) {
        attribute = text;
        changes.device_records_changed.insert(field.id);
      }
      return;
    }
    device.extra_fields[field.name] = value;
    changes.device_fields_written.emplace(field.id, std::string(), field.name);
    return;
  }
  device.scoped_fields[field.scope][field.name] = value;
  changes.device_fields_written.emplace(field.id, field.scope, field.name);
}

}  // namespace

// The response starts as a copy of the request: its fields are answered in place.
void get_field_value(const StoreData& data, const zu::cds::CGetFieldValue& /*request*/,
                     zu::cds::CGetFieldValue& response) {
  for (const CSingleField& field : response.fields) field.value = read_field(data, field).value;
  response.status = status_ok;
}

void set_field_value(StoreData& data, const zu::cds::CSetFieldValue& /*request*/,
                     zu::cds::CSetFieldValue& response, ChangeSet& changes) {
  std::vector<std::pair<const CSingleField*, zu::CValue>> writes;
  writes.reserve(response.fields.size());
  DocumentFieldWrites documents;
  for (const CSingleField& field : response.fields) {
    FieldOutcome outcome = check_write(data, field, documents);
    if (outcome.status != status_ok) {
      // Nothing was written: every field answers with no value.
      for (const CSingleField& f : response.fields) f.value = zu::CValue();
      return refuse(response, outcome.status, std::move(outcome.message));
    }
    writes.emplace_back(&field, std::move(outcome.value));
  }
  for (auto& [field, value] : writes) {
    write_field(data, *field, value, changes);
    field->value = std::move(value);
  }
  documents.apply(data, changes);
  response.status = status_ok;
}

}  // namespace detail
}  // namespace store
}  // namespace cds

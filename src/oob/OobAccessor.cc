// OobAccessor: out-of-band documents and fields by path.
#include "cdsapi/OobAccessor.h"

#include <cstdlib>
#include <stdexcept>

#include "cdsapi/dataHandler.h"
#include "common/Response.h"
#include "zu/JSON2Protobuf.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::response_as;
using detail::successful;

namespace {

enum : std::uint32_t {
  kNoKind = 0,
  kDeviceField = 1,
  kUnknownDeviceField = 2,
  kScopedDeviceField = 3,
  kDocumentField = 4,
  kLastKnownKind = 7,
};

bool parsed(const zu::cds::CSingleField& field) {
  return field.field_kind != kNoKind && field.field_kind <= kLastKnownKind;
}

// True when the store lists a device under `id`; the status is not looked at,
// only whether a device came back.
bool device_exists(unsigned long long id) {
  zu::cds::CGetDevice request;
  request.ids = {id};
  request.depth = 0;
  auto response = response_as<zu::cds::CGetDevice>(zu::cds::CClient::get()->submit_wait(request));
  return response && !response->devices.empty();
}

// Hands one document write to the store without waiting for it.
bool send_document(zu::cds::CClient& client, std::string path, const zu::proto::toolkitStruct& document) {
  zu::cds::CSetOOBDataUnit unit;
  unit.path = std::move(path);
  unit.data = document;
  unit.aux1 = 0;
  unit.aux2 = 0;
  zu::cds::CSetOOBData request;
  request.units.push_back(std::move(unit));
  return client.submit(request, 0, false) != 0;
}

}  // namespace

OobAccessor::OobAccessor(dataClient& c) : client(c) {}

OobAccessor::~OobAccessor() = default;

zu::proto::toolkitStruct OobAccessor::get(const std::string& path) {
  zu::cds::CGetOOBData request;
  request.paths = {path};
  auto response = successful<zu::cds::CGetOOBData>(client.client->submit_wait(request));
  if (!response || response->results.empty()) return zu::proto::toolkitStruct();
  const zu::cds::COOBDataResult& result = response->results.back();
  return result.found ? result.data : zu::proto::toolkitStruct();
}

bool OobAccessor::set(const std::string& path, zu::proto::toolkitStruct& document) {
  return send_document(*client.client, std::string(path.c_str()), document);
}

bool OobAccessor::set(const std::string& path, const std::string& json) {
  std::vector<std::shared_ptr<google::protobuf::Message>> messages;
  if (!zu::JSON2Protobuf(json, messages).empty()) return false;
  if (messages.empty()) return false;
  auto document = std::dynamic_pointer_cast<zu::proto::toolkitStruct>(messages.front());
  if (!document) return false;
  return send_document(*client.client, path, *document);
}

zu::cds::CSingleField OobAccessor::parse_path(std::vector<std::string>& parts, unsigned int count) {
  zu::cds::CSingleField field;
  field.field_kind = kNoKind;
  field.value_kind = 0;
  field.id = zu::kNoId;
  if (count > parts.size() || parts.empty()) return field;
  const std::string& path = parts[0];
  const std::size_t first_slash = path.find('/');
  if (first_slash == std::string::npos) return field;  // also the empty path

  const std::size_t last_slash = path.rfind('/');
  const std::string last = path.substr(last_slash + 1);
  const std::string first = path.substr(0, first_slash);

  // strtoull reads up to a NUL: a segment with one inside is not all consumed.
  char* end = nullptr;
  field.id = std::strtoull(first.c_str(), &end, 0);
  const bool numeric = end == first.c_str() + first.size();

  if (numeric) {
    const std::size_t dot = last.find('.');
    if (dot == std::string::npos) {
      field.name = last;
      field.field_kind = kDeviceField;
    } else {
      field.name = last.substr(dot + 1);
      field.scope = last.substr(0, dot);
      field.field_kind = kScopedDeviceField;
    }
    if (!device_exists(field.id)) {
      field.name = last;
      field.scope.clear();
      field.field_kind = kUnknownDeviceField;
    }
  } else {
    field.id = 0;
    field.scope = path.substr(0, last_slash);
    field.name = last;
    field.field_kind = kDocumentField;
  }

  if (count == 1) return field;
  if (count == 2) {
    field.value = zu::CValue(parts[1]);
    return field;
  }
  field.field_kind = kNoKind;
  return field;
}

template <typename T>
T OobAccessor::getField(const std::string& path) {
  std::vector<std::string> parts{path};
  zu::cds::CSingleField field = parse_path(parts, 1);
  if (!parsed(field)) throw std::invalid_argument("Error: Invalid request type!");
  zu::cds::CGetFieldValue request;
  request.fields.insert(field);
  auto response = response_as<zu::cds::CGetFieldValue>(zu::cds::CClient::get()->submit_wait(request));
  if (response && !response->fields.empty()) {
    const zu::CValue& value = response->fields.begin()->value;
    if (value.type() != zu::type_none) return value.as_string();
  }
  throw std::invalid_argument("CDS request failed for OOB path " + path);
}

template std::string OobAccessor::getField<std::string>(const std::string& path);

std::string OobAccessor::getField(const std::string& path) {
  try {
    return getField<std::string>(path);
  } catch (...) {
    return std::string();
  }
}

bool OobAccessor::setField(const std::string& path, const std::string& value) {
  std::vector<std::string> parts{path, value};
  zu::cds::CSingleField field = parse_path(parts, 2);
  if (!parsed(field)) return false;
  if (field.id == 0 && field.scope.empty()) return false;
  zu::cds::CSetFieldValue request;
  request.fields.insert(field);
  auto response = successful<zu::cds::CSetFieldValue>(zu::cds::CClient::get()->submit_wait(request));
  return response && !response->fields.empty() && response->fields.begin()->value.type() != zu::type_none;
}

bool OobAccessor::subscribe(const std::string& path, std::function<void(std::string)> callback) {
  std::shared_ptr<dataHandler> registry = SubscriberSingleton::instance().handler;
  return subscribe(path, std::move(callback), registry);
}

bool OobAccessor::subscribe(const std::string& path, std::function<void(std::string)> callback,
                            std::shared_ptr<dataHandler> registry) {
  if (!registry) return false;
  return registry->registerSubscription(std::vector<std::string>{path},
                                        dataHandler::SubscriptionCallback::OobCallback(std::move(callback)), nullptr);
}

}  // namespace cdsapi

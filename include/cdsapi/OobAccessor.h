#pragma once
// Out-of-band data: documents and single named fields addressed by a path.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cdsapi/dataClient.h"
#include "zu/cds/Records.h"
#include "zu/proto/zu.pb.h"

namespace cdsapi {

class dataHandler;

// Reads and writes out-of-band documents (zu::proto::toolkitStruct) by path,
// and single fields by a field path:
//   DEVICE/NAME          field NAME of device DEVICE (a number: decimal, 0x hex
//                        or 0 octal)
//   DEVICE/.../SCOPE.NAME field NAME inside SCOPE of device DEVICE (the
//                        segments between the first and the last are ignored)
//   a/b/NAME             field NAME of the document at path a/b
//
// Holds only a reference to its dataClient: as thread-safe as the client.
// get, getField and setField block until the store answers; the two set
// forms hand the write over without waiting for it. Failures are reported by
// values (empty document or text, false), except in the getField template.
class OobAccessor {
 public:
  explicit OobAccessor(dataClient& client);
  virtual ~OobAccessor();

  // The document at exactly `path`; an empty document when there is none or
  // the store cannot be asked.
  zu::proto::toolkitStruct get(const std::string& path);
  // Replaces the document at `path` (read up to its first NUL). True when the
  // write was handed over, not when the store applied it.
  bool set(const std::string& path, zu::proto::toolkitStruct& document);
  // The same with a document given as a JSON object; false, sending nothing,
  // when the text is not one JSON object.
  bool set(const std::string& path, const std::string& json);

  // The field's value as text. Throws std::invalid_argument "Error: Invalid
  // request type!" for a path that does not parse, and "CDS request failed
  // for OOB path <path>" when no value comes back.
  template <typename T>
  T getField(const std::string& path);
  // The same, with every failure an empty text.
  std::string getField(const std::string& path);
  // Writes `value` as text; false when the path designates nothing (nothing
  // is sent) or the store refused.
  bool setField(const std::string& path, const std::string& value);

  // Turns {path} or {path, value} (`count` of them) into a field descriptor;
  // field_kind 0 when the path does not parse. A numeric first segment is
  // checked against the store: field_kind 2 when no such device exists.
  zu::cds::CSingleField parse_path(std::vector<std::string>& parts, unsigned int count);

  // Calls `callback` with the written path for every document written at or
  // below `path`, on the event thread. The subscription cannot be ended.
  bool subscribe(const std::string& path, std::function<void(std::string)> callback);
  bool subscribe(const std::string& path, std::function<void(std::string)> callback,
                 std::shared_ptr<dataHandler> registry);

 private:
  dataClient& client;
};

// The text type is the one instantiation.
extern template std::string OobAccessor::getField<std::string>(const std::string& path);

}  // namespace cdsapi

// Out-of-band documents: kept by exact path, read and replaced whole, and the
// fields inside them that named field requests (kind 4) read and write.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "store_data.h"
#include "zu/JSON2Protobuf.h"
#include "zu/wire/Codec.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;
using zu::cds::status_too_big;

namespace {

// Generous bounds of what an answer adds around each path and document:
// field tags, length prefixes and the found flag.
constexpr std::size_t kResultOverhead = 32;
constexpr std::size_t kPathOverhead = 8;
// Integers a double holds exactly.
constexpr long long kExactIntegers = 1LL << 53;

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

std::string too_big(const std::string& path, std::size_t bytes) {
  return "the document at " + quoted(path) + " has " + std::to_string(bytes) + " bytes, more than the largest of " +
         std::to_string(kMaxDocumentBytes);
}

// A written field value as a document value; false with `why` set when the
// value has no document form that reads back as what was written.
bool document_value(const zu::CValue& in, zu::proto::toolkitValue& out, std::string& why) {
  if (const auto* text = in.get_if<std::string>()) {
    out.set_string_value(*text);
    return true;
  }
  if (const auto* flag = in.get_if<bool>()) {
    out.set_bool_value(*flag);
    return true;
  }
  switch (in.type()) {
    case zu::type_int32:
    case zu::type_uint32:
    case zu::type_float:
    case zu::type_double: {
      const double number = in.as_double();
      if (!std::isfinite(number)) {
        why = "a document number must be finite";
        return false;
      }
      out.set_number_value(number);
      return true;
    }
    case zu::type_int64:
    case zu::type_uint64: {
      const auto* s = in.get_if<long long>();
      const auto* u = in.get_if<unsigned long long>();
      if ((s && (*s > kExactIntegers || *s < -kExactIntegers)) ||
          (u && *u > static_cast<unsigned long long>(kExactIntegers))) {
        why = "a document number holds integers up to 2^53 exactly, not " + in.as_string();
        return false;
      }
      out.set_number_value(s ? static_cast<double>(*s) : static_cast<double>(*u));
      return true;
    }
    case zu::type_bytes:
      why = "a document holds texts, numbers and flags, not bytes";
      return false;
    default:
      why = "a document holds texts, numbers and flags, not a value of type " + std::to_string(in.type());
      return false;
  }
}

}  // namespace

std::string document_path_problem(const std::string& path) {
  if (path.empty()) return "a document needs a path";
  if (path.size() > kMaxDocumentPath)
    return "the path " + quoted(path.substr(0, 64)) + "... has " + std::to_string(path.size()) +
           " bytes, more than the longest of " + std::to_string(kMaxDocumentPath);
  if (path.find('\0') != std::string::npos) return "the path " + quoted(path.c_str()) + "... holds a NUL character";
  return std::string();
}

void get_oob_data(const StoreData& data, const zu::cds::CGetOOBData& request, zu::cds::CGetOOBData& response) {
  response.results.clear();
  response.results.reserve(request.paths.size());
  // The answer carries the requested paths too.
  std::size_t budget = kMaxAnswerBytes - kAnswerReserve;
  for (const std::string& path : request.paths) budget -= std::min(budget, path.size() + kPathOverhead);

  for (const std::string& path : request.paths) {
    auto it = data.documents.find(path);
    const bool found = it != data.documents.end();
    const std::size_t bytes = kResultOverhead + path.size() + (found ? it->second.ByteSizeLong() : 0);
    if (bytes > budget)
      return refuse(response, status_too_big,
                    "the answer would pass " + std::to_string(kMaxAnswerBytes) + " bytes: it holds the first " +
                        std::to_string(response.results.size()) + " of " + std::to_string(request.paths.size()) +
                        " paths");
    budget -= bytes;
    zu::cds::COOBDataResult result;
    result.path = path;
    if (found) {
      result.data = it->second;
      result.found = 1;
    }
    response.results.push_back(std::move(result));
  }
  response.status = status_ok;
}

void set_oob_data(StoreData& data, const zu::cds::CSetOOBData& request, zu::cds::CSetOOBData& response,
                  ChangeSet& changes) {
  for (const zu::cds::CSetOOBDataUnit& unit : request.units) {
    std::string problem = document_path_problem(unit.path);
    if (problem.empty()) problem = zu::wire::document_problem(unit.data);
    if (!problem.empty()) return refuse(response, status_invalid, std::move(problem));
    const std::size_t bytes = unit.data.ByteSizeLong();
    if (bytes > kMaxDocumentBytes) return refuse(response, status_too_big, too_big(unit.path, bytes));
  }
  for (const zu::cds::CSetOOBDataUnit& unit : request.units) {
    data.documents[unit.path] = unit.data;
    changes.oob_paths_written.insert(unit.path);
  }
  response.status = status_ok;
}

zu::CValue document_field(const StoreData& data, const std::string& path, const std::string& name) {
  auto document = data.documents.find(path);
  if (document == data.documents.end()) return zu::CValue();
  auto field = document->second.fields().find(name);
  if (field == document->second.fields().end()) return zu::CValue();
  const zu::proto::toolkitValue& value = field->second;
  switch (value.kind_case()) {
    case zu::proto::toolkitValue::kStringValue: return zu::CValue(value.string_value());
    case zu::proto::toolkitValue::kNumberValue: return zu::CValue(value.number_value());
    case zu::proto::toolkitValue::kBoolValue: return zu::CValue(value.bool_value());
    case zu::proto::toolkitValue::kStructValue:
    case zu::proto::toolkitValue::kListValue: return zu::CValue(zu::Protobuf2JSON(value));
    default: return zu::CValue();  // null
  }
}

std::pair<std::uint32_t, std::string> DocumentFieldWrites::stage(const StoreData& data, const std::string& path,
                                                                 const std::string& name, const zu::CValue& value) {
  std::string problem = document_path_problem(path);
  if (!problem.empty()) return {status_invalid, std::move(problem)};
  // The field alone is checked for what the codec cannot carry (the rest of
  // the document was checked when it was stored).
  zu::proto::toolkitStruct field;
  zu::proto::toolkitValue& converted = (*field.mutable_fields())[name];
  if (!document_value(value, converted, problem) || !(problem = zu::wire::document_problem(field)).empty())
    return {status_refused, "field " + quoted(name) + " of the document at " + quoted(path) + ": " + problem};

  auto staged = staged_.find(path);
  if (staged == staged_.end()) {
    auto stored = data.documents.find(path);
    staged = staged_.emplace(path, stored == data.documents.end() ? zu::proto::toolkitStruct() : stored->second).first;
  }
  (*staged->second.mutable_fields())[name] = std::move(converted);
  const std::size_t bytes = staged->second.ByteSizeLong();
  if (bytes > kMaxDocumentBytes) return {status_too_big, too_big(path, bytes)};
  return {status_ok, std::string()};
}

void DocumentFieldWrites::apply(StoreData& data, ChangeSet& changes) {
  for (auto& [path, document] : staged_) {
    data.documents[path] = std::move(document);
    changes.oob_paths_written.insert(path);
  }
  staged_.clear();
}

}  // namespace detail
}  // namespace store
}  // namespace cds

#pragma once
// JSON text to and from the framework's documents.
#include <memory>
#include <string>
#include <vector>

namespace google { namespace protobuf { class Message; } }

namespace zu {

// Converts JSON text into documents (zu::proto::toolkitStruct): an object gives
// one document, an array of objects one per element. Appends them to
// `messages`. Returns an error text, empty on success; on error nothing is
// appended. Never throws. Numbers become doubles.
std::string JSON2Protobuf(const std::string& json, std::vector<std::shared_ptr<google::protobuf::Message>>& messages);

// The JSON text of a message (a document reads as a plain JSON object, a
// document's value (zu::proto::toolkitValue) as plain JSON); empty on failure.
std::string Protobuf2JSON(const google::protobuf::Message& message);

}  // namespace zu

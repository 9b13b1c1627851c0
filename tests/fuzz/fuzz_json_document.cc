// JSON text to documents: what converts must print as JSON that converts
// back to the same documents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/util/message_differencer.h>

#include "zu/JSON2Protobuf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string json(reinterpret_cast<const char*>(data), size);
  std::vector<std::shared_ptr<google::protobuf::Message>> docs;
  if (!zu::JSON2Protobuf(json, docs).empty()) {
    if (!docs.empty()) std::abort();  // a failure appends nothing
    return 0;
  }
  for (const auto& doc : docs) {
    const std::string text = zu::Protobuf2JSON(*doc);
    std::vector<std::shared_ptr<google::protobuf::Message>> again;
    if (text.empty() || !zu::JSON2Protobuf(text, again).empty() || again.size() != 1 ||
        !google::protobuf::util::MessageDifferencer::Equals(*doc, *again.front()))
      std::abort();
  }
  return 0;
}

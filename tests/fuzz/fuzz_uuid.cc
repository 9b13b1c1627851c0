// UUID text: what parses prints, in lower case, as the text it came from
// (canonical or compact), and parses back to itself; the rest is refused
// with std::invalid_argument.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tova/common/Uuid.h"

using tova::common::Uuid;

namespace {

void check(const std::string& text, bool from_pointer) {
  try {
    const Uuid u = from_pointer ? Uuid(text.c_str()) : Uuid(text);
    std::string lower = from_pointer ? std::string(text.c_str()) : text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != u.to_string() && lower != u.to_hex()) std::abort();
    if (Uuid(u.to_string()) != u || Uuid(u.to_hex()) != u) std::abort();
  } catch (const std::invalid_argument&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check(text, false);
  check(text, true);
  return 0;
}

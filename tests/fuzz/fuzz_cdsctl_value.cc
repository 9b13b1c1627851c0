// cdsctl's value parser: the first byte is the data type, the rest the text.
// Text is refused only with a Failure; a value parsed prints as text that
// parses to the same value (timestamps print as dates only up to year 9999).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Args.h"
#include "Values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t type = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    const zu::CValue value = cdsctl::parse_value(text, type);
    const std::string printed = cdsctl::value_text(value);
    const auto* t = value.get_if<zu::CTimestamp>();
    if (t && (t->seconds < -62167219200LL || t->seconds > 253402300799LL)) return 0;
    if (!(cdsctl::parse_value(printed, type) == value)) std::abort();
  } catch (const cdsctl::Failure&) {
  }
  return 0;
}

#pragma once
// Texts as the older C interfaces see them.
#include <string>

namespace cdsapi {
namespace detail {

// A text read as a C string: up to its first NUL.
inline std::string c_text(const std::string& text) { return std::string(text.c_str()); }

}  // namespace detail
}  // namespace cdsapi

#pragma once
// The legacy classes' diagnostics: one line on standard output, flushed at
// once so that it is not lost or reordered when the process dies or forks.
#include <iostream>
#include <string>

namespace cdsapi {
namespace detail {

inline void console_line(const std::string& line) { std::cout << line << '\n' << std::flush; }

}  // namespace detail
}  // namespace cdsapi

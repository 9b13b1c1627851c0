#pragma once
// The daemon's log: one line per event on standard error, "cdsd: LEVEL: text".
// Thread-safe; lines from several threads never interleave.
#include <string>

namespace cdsd {

enum class Level { debug, info, warning, error };

// Debug lines are written only when verbose.
void set_verbose(bool verbose);
bool verbose();

void log(Level level, const std::string& text);
inline void debug(const std::string& text) { log(Level::debug, text); }
inline void info(const std::string& text) { log(Level::info, text); }
inline void warning(const std::string& text) { log(Level::warning, text); }
inline void error(const std::string& text) { log(Level::error, text); }

}  // namespace cdsd

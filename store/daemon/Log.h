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

// Like log(), but writes at most one line of `topic` every 10 seconds, so that
// a flood of the same event (a client reconnecting in a loop, a full
// descriptor table) leaves one line, not thousands. The lines left out are
// counted, and the next line of the topic says how many there were.
void log_limited(const std::string& topic, Level level, const std::string& text);

}  // namespace cdsd

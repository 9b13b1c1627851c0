#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

namespace cdsd {
namespace {
std::atomic<bool> g_verbose{false};
std::mutex g_mutex;  // guards the stream's lines and g_topics

constexpr std::chrono::seconds kTopicInterval{10};
struct Topic {
  std::chrono::steady_clock::time_point last;  // when its last line was written
  unsigned long long held = 0;                 // lines left out since
};
std::map<std::string, Topic> g_topics;

const char* name_of(Level level) {
  switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::warning: return "warning";
    case Level::error: return "error";
  }
  return "info";
}

// Call with g_mutex held.
void write_line(Level level, const std::string& text) {
  std::fprintf(stderr, "cdsd: %s: %s\n", name_of(level), text.c_str());
  std::fflush(stderr);
}
}  // namespace

void set_verbose(bool v) { g_verbose.store(v); }
bool verbose() { return g_verbose.load(); }

void log(Level level, const std::string& text) {
  if (level == Level::debug && !verbose()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  write_line(level, text);
}

void log_limited(const std::string& topic, Level level, const std::string& text) {
  if (level == Level::debug && !verbose()) return;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(g_mutex);
  auto [it, first] = g_topics.try_emplace(topic);
  Topic& t = it->second;
  if (!first && now - t.last < kTopicInterval) {
    ++t.held;
    return;
  }
  if (t.held == 0) write_line(level, text);
  else write_line(level, text + " (" + std::to_string(t.held) + " more like it left out of the log since the last)");
  t.last = now;
  t.held = 0;
}

}  // namespace cdsd

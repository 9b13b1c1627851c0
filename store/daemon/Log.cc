#include "Log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace cdsd {
namespace {
std::atomic<bool> g_verbose{false};
std::mutex g_mutex;

const char* name_of(Level level) {
  switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::warning: return "warning";
    case Level::error: return "error";
  }
  return "info";
}
}  // namespace

void set_verbose(bool v) { g_verbose.store(v); }
bool verbose() { return g_verbose.load(); }

void log(Level level, const std::string& text) {
  if (level == Level::debug && !verbose()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::fprintf(stderr, "cdsd: %s: %s\n", name_of(level), text.c_str());
  std::fflush(stderr);
}

}  // namespace cdsd

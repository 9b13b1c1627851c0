#include "console.h"

#include <pthread.h>

#include <cstdio>

namespace demo {

namespace {
const char* const kKindNames[] = {"value", "device", "alarm", "path"};
}

std::string thread_name() {
  char name[16] = {};  // the kernel keeps at most 15 characters and the NUL
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return "?";
  return name;
}

void Console::say(const char* format, ...) {
  std::lock_guard<std::mutex> lock(mutex_);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void Console::callback(Kind kind, const char* format, ...) {
  std::string thread = thread_name();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("    <%s> %-6s ", thread.c_str(), kKindNames[kind]);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    ++counts_[kind];
  }
  arrived_.notify_all();
}

unsigned Console::count(Kind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[kind];
}

bool Console::await(Kind kind, unsigned expected, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return counts_[kind] >= expected; });
}

bool Console::expect(Kind kind, unsigned expected) {
  if (await(kind, expected, std::chrono::seconds(2))) return true;
  std::fprintf(stderr, "demo: waited 2 s for %u %s callbacks, %u arrived\n", expected, kKindNames[kind],
               count(kind));
  return false;
}

}  // namespace demo

// Console output of the demo, shared by the main thread and the event thread
// that runs subscription callbacks.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>

namespace demo {

// Lines are written whole under one mutex, so a callback line never lands in
// the middle of a line of the main thread. It also counts the callbacks of
// each kind so that the main thread can wait until the ones it expects came.
class Console {
 public:
  enum Kind { Value, Device, Alarm, Path, kKinds };

  // printf-style; one call writes one or more complete lines.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Called from a callback: writes the line prefixed with the name of the
  // calling thread, then counts one callback of `kind`.
  void callback(Kind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));

  unsigned count(Kind kind);

  // Waits until at least `expected` callbacks of `kind` arrived, at most
  // `limit`. False when they did not.
  bool await(Kind kind, unsigned expected, std::chrono::milliseconds limit);

  // The same with a limit of 2 s; says on stderr what was missing.
  bool expect(Kind kind, unsigned expected);

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  unsigned counts_[kKinds] = {};
};

// The name of the calling thread ("Event CDS" for the library's event thread).
std::string thread_name();

}  // namespace demo

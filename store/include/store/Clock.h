#pragma once
// Time as the store sees it: a clock that never goes back, for alarm delays,
// and the wall clock that stamps alarm updates.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "zu/CWallTime.h"

namespace cds {
namespace store {

// Thread-safe. The engine asks it for the time and, for a clock that only
// moves when told (a test's clock), registers a watcher that runs the alarm
// delays that fell due; with any other clock the engine keeps a timer thread.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint steady_now() const = 0;
  virtual zu::CWallTime wall_now() const = 0;

  // True when the clock moves only when told and calls its watchers then.
  virtual bool drives_timers() const { return false; }
  // Registers `due`, called after each move of a clock that drives timers;
  // returns a token for remove_watcher. Other clocks ignore it.
  virtual std::uint64_t add_watcher(std::function<void()> due) {
    (void)due;
    return 0;
  }
  // Removes a watcher; once it returns the watcher is not running and will not run.
  virtual void remove_watcher(std::uint64_t token) { (void)token; }
};

// The machine's steady and wall clocks. The engine's default.
class SystemClock : public Clock {
 public:
  TimePoint steady_now() const override { return std::chrono::steady_clock::now(); }
  zu::CWallTime wall_now() const override { return zu::CWallTime::now(); }
};

// A clock that stands still until advance() moves it; advance() runs the
// evaluations that fell due on the calling thread before it returns, so a
// test sees a delayed alarm as soon as it moved the clock past the delay.
class ManualClock : public Clock {
 public:
  // Wall time starts at `wall_start` (seconds since the epoch).
  explicit ManualClock(std::int64_t wall_start = 1700000000);

  TimePoint steady_now() const override;
  zu::CWallTime wall_now() const override;
  bool drives_timers() const override { return true; }
  std::uint64_t add_watcher(std::function<void()> due) override;
  void remove_watcher(std::uint64_t token) override;

  // Moves both clocks forward by `seconds` (negative or not finite: ignored)
  // and runs the watchers.
  void advance(double seconds);

 private:
  const std::int64_t wall_start_;
  std::atomic<std::int64_t> elapsed_ns_{0};
  // Held while watchers run, so remove_watcher waits for a running one.
  std::mutex watchers_mutex_;
  std::map<std::uint64_t, std::function<void()>> watchers_;
  std::uint64_t next_token_ = 1;
};

}  // namespace store
}  // namespace cds

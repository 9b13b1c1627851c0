// Clocks and the thread that runs alarm delays.
#include <cmath>
#include <utility>

#include "alarms.h"

namespace cds {
namespace store {

ManualClock::ManualClock(std::int64_t wall_start) : wall_start_(wall_start) {}

Clock::TimePoint ManualClock::steady_now() const {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::nanoseconds(elapsed_ns_.load())));
}

zu::CWallTime ManualClock::wall_now() const {
  std::int64_t ns = elapsed_ns_.load();
  return zu::CWallTime::from_seconds(wall_start_ + ns / 1000000000, static_cast<std::uint32_t>(ns % 1000000000));
}

std::uint64_t ManualClock::add_watcher(std::function<void()> due) {
  std::lock_guard<std::mutex> lock(watchers_mutex_);
  std::uint64_t token = next_token_++;
  watchers_.emplace(token, std::move(due));
  return token;
}

void ManualClock::remove_watcher(std::uint64_t token) {
  std::lock_guard<std::mutex> lock(watchers_mutex_);
  watchers_.erase(token);
}

void ManualClock::advance(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  elapsed_ns_ += static_cast<std::int64_t>(std::llround(seconds * 1e9));
  std::lock_guard<std::mutex> lock(watchers_mutex_);
  for (auto& watcher : watchers_) watcher.second();
}

namespace detail {

AlarmTimers::AlarmTimers(AlarmData& alarms, const EngineOptions& options, std::function<void()> due)
    : clock_(options.clock ? options.clock : std::make_shared<SystemClock>()), due_(std::move(due)) {
  alarms.clock = clock_;
  alarms.log_size = options.alarm_log_size;
  if (clock_->drives_timers())
    watch_ = clock_->add_watcher(due_);
  else
    alarms.wake_at = [this](Clock::TimePoint deadline) { wake_at(deadline); };
}

AlarmTimers::~AlarmTimers() {
  if (watch_ != 0) clock_->remove_watcher(watch_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void AlarmTimers::wake_at(Clock::TimePoint deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_) return;
  // Most stores never use a delay: no thread until one does.
  if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
  if (has_deadline_ && next_ <= deadline) return;
  has_deadline_ = true;
  next_ = deadline;
  wake_.notify_all();
}

void AlarmTimers::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!has_deadline_) {
      wake_.wait(lock);
    } else if (clock_->steady_now() < next_) {
      // The system clock's steady time is std::chrono::steady_clock's.
      wake_.wait_until(lock, next_);
    } else {
      // run_alarm_timers tells us its next deadline through wake_at.
      has_deadline_ = false;
      lock.unlock();
      due_();
      lock.lock();
    }
  }
}

}  // namespace detail
}  // namespace store
}  // namespace cds

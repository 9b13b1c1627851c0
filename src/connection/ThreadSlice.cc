#include "connection/ThreadSlice.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace cdsapi {
namespace detail {
namespace {

// The kernel's struct sched_attr (its first extended size): the kernel's
// header for it clashes with <sched.h>.
struct SchedAttr {
  std::uint32_t size;
  std::uint32_t sched_policy;
  std::uint64_t sched_flags;
  std::int32_t sched_nice;
  std::uint32_t sched_priority;
  std::uint64_t sched_runtime;
  std::uint64_t sched_deadline;
  std::uint64_t sched_period;
  std::uint32_t sched_util_min;
  std::uint32_t sched_util_max;
};
static_assert(sizeof(SchedAttr) == 56, "the kernel's layout, on 32 and 64 bits alike");

bool read_attr(long tid, SchedAttr* attr) {
  *attr = SchedAttr{};
  return ::syscall(SYS_sched_getattr, tid, attr, sizeof *attr, 0) == 0;
}

}  // namespace

bool readScheduling(long tid, ThreadScheduling* out) {
  SchedAttr attr;
  if (!read_attr(tid, &attr)) return false;
  out->policy = attr.sched_policy;
  out->slice_ns = attr.sched_runtime;
  return true;
}

bool setOwnSlice(std::uint64_t slice_ns) {
  SchedAttr attr;
  if (!read_attr(0, &attr)) return false;
  attr.size = sizeof attr;
  attr.sched_runtime = slice_ns;
  return ::syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}

}  // namespace detail
}  // namespace cdsapi

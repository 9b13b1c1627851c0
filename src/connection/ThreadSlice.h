#pragma once
// A thread's own time slice (honoured by Linux 6.12 and later), read and set
// through sched_getattr and sched_setattr, which the C library does not
// declare. Not public: the event thread uses it, and its tests and the peer
// benchmark look through it.
#include <cstdint>

namespace cdsapi {
namespace detail {

// The slice the "Event CDS" thread asks for.
constexpr std::uint64_t kEventSliceNs = 200 * 1000;

struct ThreadScheduling {
  std::uint32_t policy = 0;
  std::uint64_t slice_ns = 0;  // 0 where the kernel reports none
};

// The scheduling of thread `tid` (0: the calling thread); false when the
// kernel, or an emulator, does not tell.
bool readScheduling(long tid, ThreadScheduling* out);

// Gives the calling thread a slice of `slice_ns` and leaves its policy and
// nice value as they are; false when refused.
bool setOwnSlice(std::uint64_t slice_ns);

}  // namespace detail
}  // namespace cdsapi

// The two clocks the data path reads, without Python objects.
#pragma once

#include <cstdint>
#include <ctime>

namespace vorn {

// Nanoseconds since the epoch: a frame's receive time.
inline int64_t realtime_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Seconds of the monotonic clock: for durations.
inline double monotonic_s() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace vorn

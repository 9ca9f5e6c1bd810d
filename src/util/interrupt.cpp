#include "util/interrupt.hpp"

#include <time.h>

#include <algorithm>

namespace velotz::detail {

std::int64_t coarse_clock_ns() {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec t;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &t) == 0) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    }
#endif
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void poll_interrupt(InterruptState& state) {
    if (state.stopped) {
        state.countdown = 1;
        throw Interrupted{};
    }
    const std::int64_t now = coarse_clock_ns();
    const std::int64_t elapsed = now - state.read_ns;
    state.read_ns = now;
    if (elapsed < 2000000) {
        state.stride = std::min<std::uint32_t>(state.stride * 2, 64);
    } else if (elapsed > 5000000) {
        state.stride = std::max<std::uint32_t>(state.stride / 2, 1);
    }
    state.countdown = state.stride;
    if (now < state.next_ns) return;
    state.next_ns = now + std::chrono::nanoseconds(kInterruptPeriod).count();
    if (!state.poll(state.context)) {
        state.stopped = true;
        state.countdown = 1;
        throw Interrupted{};
    }
}

}  // namespace velotz::detail

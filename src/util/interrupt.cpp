#include "util/interrupt.hpp"

namespace velotz::detail {

void poll_interrupt(InterruptState& state) {
    if (state.stopped) throw Interrupted{};
    const auto now = std::chrono::steady_clock::now();
    if (now < state.next) return;
    state.next = now + kInterruptPeriod;
    if (!state.poll(state.context)) {
        state.stopped = true;
        throw Interrupted{};
    }
}

}  // namespace velotz::detail

#pragma once
// Cooperative interruption of long numerical work.
//
// A caller that may want to stop the work it runs on its own thread installs
// a poll function for that thread (InterruptScope). The work calls
// interruption_point() now and then (every residual evaluation, each step of
// a least-squares solve); about every 20 ms one of them calls the poll function,
// and when it answers "stop" the point throws Interrupted, which unwinds the
// work to the caller. Threads without a scope (pool workers, any caller that
// installed none) pass every point at the cost of one thread-local read.
//
// The core knows nothing of what the poll function does (the Python layer
// re-takes the interpreter lock there to look for Ctrl-C); it never changes
// the work's results or counts, only whether it finishes.
#include <chrono>
#include <cstdint>
#include <exception>

namespace velotz {

// Thrown by interruption_point() once the poll function has said stop.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// Returns false to stop the work.
using InterruptPoll = bool (*)(void* context);

// How often a thread's poll function is asked at most.
inline constexpr std::chrono::milliseconds kInterruptPeriod{20};

namespace detail {
struct InterruptState {
    InterruptPoll poll = nullptr;
    void* context = nullptr;
    std::int64_t next_ns = 0;  // when to ask next, on coarse_clock_ns()
    std::int64_t read_ns = 0;  // when the clock was last read
    // The clock is read every `stride` points: the stride doubles while the
    // points come fast and halves when they are slow, so that small work
    // reads it rarely and long evaluations still every few milliseconds.
    std::uint32_t stride = 1;
    std::uint32_t countdown = 1;
    bool stopped = false;
};
inline thread_local InterruptState interrupt_state;
void poll_interrupt(InterruptState& state);
// A monotonic clock in nanoseconds that is cheap to read (on Linux the
// coarse clock, a few milliseconds of resolution, at a fraction of the cost
// of a precise one: a point passed at every evaluation must cost next to
// nothing beside a small spectrum's evaluation).
std::int64_t coarse_clock_ns();
}  // namespace detail

// Installs `poll` for the calling thread until the scope ends (scopes nest:
// the previous one is restored).
class InterruptScope {
public:
    InterruptScope(InterruptPoll poll, void* context) : saved_(detail::interrupt_state) {
        const std::int64_t now = detail::coarse_clock_ns();
        detail::InterruptState& state = detail::interrupt_state;
        state = detail::InterruptState{};
        state.poll = poll;
        state.context = context;
        state.next_ns = now + std::chrono::nanoseconds(kInterruptPeriod).count();
        state.read_ns = now;
    }
    ~InterruptScope() { detail::interrupt_state = saved_; }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    detail::InterruptState saved_;
};

// Throws Interrupted when the calling thread's poll function says stop (it
// is asked at most every kInterruptPeriod, the first time one period after
// the scope began, at a point that reads the clock: every point while points
// are slow, every few points while they come fast); does nothing on a thread
// without a scope.
inline void interruption_point() {
    detail::InterruptState& state = detail::interrupt_state;
    if (state.poll != nullptr) [[unlikely]] {
        if (--state.countdown == 0) detail::poll_interrupt(state);
    }
}

}  // namespace velotz

// Tests of cooperative interruption: when the poll function is asked, what
// an interrupted fit leaves behind, and that an uninterrupted fit under a
// scope gives the same result and counts as one without.

#include "util/interrupt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "fit/fit.hpp"

namespace velotz {
namespace {

struct CountingPoll {
    int calls = 0;
    bool answer = true;
    static bool poll(void* context) {
        auto* self = static_cast<CountingPoll*>(context);
        ++self->calls;
        return self->answer;
    }
};

void wait_one_period() { std::this_thread::sleep_for(kInterruptPeriod + std::chrono::milliseconds(5)); }

// Passes points, as fast work does, until one throws (true) or 5000 passed.
bool points_until_stopped() {
    for (int i = 0; i < 5000; ++i) {
        try {
            interruption_point();
        } catch (const Interrupted&) {
            return true;
        }
    }
    return false;
}

TEST(Interrupt, PollIsAskedAtMostOncePerPeriodAndAStopSticks) {
    EXPECT_NO_THROW(interruption_point());  // no scope
    CountingPoll p;
    InterruptScope scope(&CountingPoll::poll, &p);
    EXPECT_FALSE(points_until_stopped());
    EXPECT_EQ(p.calls, 0);  // the first period has not passed
    wait_one_period();
    EXPECT_FALSE(points_until_stopped());
    EXPECT_EQ(p.calls, 1);
    p.answer = false;
    wait_one_period();
    EXPECT_TRUE(points_until_stopped());
    EXPECT_THROW(interruption_point(), Interrupted);  // at once, without asking again
    EXPECT_EQ(p.calls, 2);
}

TEST(Interrupt, ScopesNestAndOtherThreadsAreUnaffected) {
    CountingPoll stop{0, false};
    CountingPoll go{0, true};
    InterruptScope outer(&CountingPoll::poll, &go);
    {
        InterruptScope inner(&CountingPoll::poll, &stop);
        wait_one_period();
        // Another thread has no scope of its own: it never stops.
        std::thread other([] {
            wait_one_period();
            EXPECT_FALSE(points_until_stopped());
        });
        other.join();
        EXPECT_TRUE(points_until_stopped());
    }
    wait_one_period();
    EXPECT_FALSE(points_until_stopped());  // the outer scope is back
    EXPECT_EQ(go.calls, 1);
    EXPECT_EQ(stop.calls, 1);
}

FitRequest long_fit() {
    auto tree = parse("R0-(R1,CPE1)-(R2,CPE2)");
    EXPECT_TRUE(tree.has_value());
    FitRequest request;
    request.circuit = rebuild(*tree, {5.0, 50.0, 1e-6, 0.7, 100.0, 1e-4, 0.7});
    const NodeList truth = rebuild(*tree, {10.0, 100.0, 1e-5, 0.9, 300.0, 1e-3, 0.8});
    for (int i = 0; i < 4000; ++i) request.frequencies.push_back(std::pow(10.0, -2.0 + 7.0 * i / 3999.0));
    request.impedances = impedance_spectrum(truth, request.frequencies);
    for (std::size_t i = 0; i < request.impedances.size(); ++i) {
        const double wobble = 1.0 + 0.01 * std::cos(static_cast<double>(i));
        request.impedances[i] = {request.impedances[i].re * wobble, request.impedances[i].im * wobble};
    }
    request.method = "nelder_mead";
    return request;
}

TEST(Interrupt, AScopeThatNeverStopsChangesNothing) {
    FitRequest request = long_fit();
    request.nelder_mead_iterations = 300;
    auto plain = fit_dispatch(request);
    CountingPoll go;
    InterruptScope scope(&CountingPoll::poll, &go);
    auto polled = fit_dispatch(request);
    ASSERT_TRUE(plain && polled);
    EXPECT_EQ(plain->params, polled->params);
    EXPECT_EQ(plain->impedance_evals, polled->impedance_evals);
    EXPECT_EQ(plain->iterations, polled->iterations);
}

TEST(Interrupt, AStoppedFitThrowsPromptlyAndTheNextOneRuns) {
    FitRequest request = long_fit();
    request.nelder_mead_iterations = 100000000;
    std::atomic<bool> stop{false};
    auto poll = [](void* context) { return !static_cast<std::atomic<bool>*>(context)->load(); };
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const auto began = std::chrono::steady_clock::now();
    {
        InterruptScope scope(poll, &stop);
        EXPECT_THROW((void)fit_dispatch(request), Interrupted);
    }
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    request.nelder_mead_iterations = 10;
    EXPECT_TRUE(fit_dispatch(request).has_value());
}

}  // namespace
}  // namespace velotz

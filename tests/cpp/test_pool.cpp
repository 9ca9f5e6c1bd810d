// The worker pool under failure: an exception thrown by a task reaches the
// caller once the job's other tasks are done, and the pool stays usable.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

#include "util/pool.hpp"

using namespace velotz;

TEST(PoolFailure, TaskExceptionReachesCallerAfterTheOtherTasks) {
    for (std::size_t throwing : {std::size_t{0}, std::size_t{57}, std::size_t{199}}) {
        std::vector<std::atomic<int>> ran(200);
        bool caught = false;
        try {
            parallel_for(ran.size(), [&](std::size_t i) {
                ran[i].fetch_add(1);
                if (i == throwing) throw std::runtime_error("task failed");
            });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "task failed";
        }
        EXPECT_TRUE(caught) << throwing;
        // Every task ran exactly once, whichever one threw.
        for (std::size_t i = 0; i < ran.size(); ++i) EXPECT_EQ(ran[i].load(), 1) << i;
    }
    // Still usable.
    std::vector<int> out(64, 0);
    parallel_for(out.size(), [&](std::size_t i) { out[i] = static_cast<int>(i) * 2; });
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], static_cast<int>(i) * 2);
}

TEST(PoolFailure, AllocationFailureInEveryTaskIsReportedOnce) {
    int caught = 0;
    try {
        parallel_chunks(1000, 10, [](std::size_t, std::size_t) { throw std::bad_alloc(); });
    } catch (const std::bad_alloc&) {
        ++caught;
    }
    EXPECT_EQ(caught, 1);
}

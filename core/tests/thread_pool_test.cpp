#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/thread_pool.hpp"

// Of two failures the lower index wins, whichever of them ends first.
TEST(ThreadPool, LowestFailingIndexWins) {
    for (size_t slow : {0, 1}) {
        auto fail = [slow](size_t i) -> std::expected<void, size_t> {
            // Long enough for another worker to take the other index meanwhile.
            std::this_thread::sleep_for(std::chrono::milliseconds(i == slow ? 60 : 10));
            return std::unexpected(i);
        };
        auto mapped = core::parallel_map<int, size_t>(2, [&](size_t i) -> std::expected<int, size_t> {
            return std::unexpected(fail(i).error());
        });
        EXPECT_EQ(mapped.error(), 0u) << slow;
        EXPECT_EQ(core::parallel_try<size_t>(2, fail).error(), 0u) << slow;
        EXPECT_EQ(core::parallel_try_lanes<size_t>(2, 2, [&](size_t, size_t i) { return fail(i); }).error(), 0u) << slow;
    }
}

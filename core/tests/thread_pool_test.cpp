#include <atomic>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/thread_pool.hpp"

// Results keep their order, of many failures the first in order wins, and
// nothing to map is an empty result.
TEST(ThreadPool, OrderAndFirstFailure) {
    using Item = std::expected<size_t, std::string>;
    auto squares = core::parallel_map<size_t, std::string>(10'000, [](size_t i) -> Item { return i * i; });
    ASSERT_TRUE(squares);
    for (size_t i = 0; i < squares->size(); ++i) ASSERT_EQ((*squares)[i], i * i);
    auto v = core::parallel_try<std::string>(100, [](size_t i) -> std::expected<void, std::string> {
        if (i >= 50) return std::unexpected("item " + std::to_string(i));
        return {};
    });
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), "item 50");
    auto none = core::parallel_map<size_t, std::string>(0, [](size_t) -> Item { return 0; });
    EXPECT_TRUE(none && none->empty());
}

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

// Each lane's slot is its own while it runs; the lowest failing index wins
// whatever order the indices are taken in, and every lower index runs.
TEST(ThreadPool, LanesOwnTheirSlots) {
    std::vector<size_t> reversed(1000);
    std::iota(reversed.rbegin(), reversed.rend(), size_t(0));
    for (std::span<const size_t> order : {std::span<const size_t>(), std::span<const size_t>(reversed)}) {
        const size_t lanes = core::worker_count();
        std::vector<std::atomic<int>> busy(lanes);
        std::vector<std::atomic<bool>> ran(1000);
        auto r = core::parallel_try_lanes<std::string>(
            1000, lanes,
            [&](size_t lane, size_t i) -> std::expected<void, std::string> {
                EXPECT_EQ(busy[lane].fetch_add(1), 0);
                ran[i] = true;
                std::this_thread::sleep_for(std::chrono::microseconds(50));  // lanes overlap meanwhile
                busy[lane].fetch_sub(1);
                if (i == 700 || i == 313) return std::unexpected("item " + std::to_string(i));
                return {};
            },
            order);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "item 313");
        for (size_t i = 0; i <= 313; ++i) ASSERT_TRUE(ran[i]) << i;
    }
}

#include <string>

#include <gtest/gtest.h>

#include "core/thread_pool.hpp"

TEST(ThreadPool, MapKeepsOrder) {
    auto r = core::parallel_map<size_t, std::string>(10'000, [](size_t i) -> std::expected<size_t, std::string> {
        return i * i;
    });
    ASSERT_TRUE(r);
    for (size_t i = 0; i < r->size(); ++i) ASSERT_EQ((*r)[i], i * i);
    EXPECT_GE(core::worker_count(), 1u);
}

TEST(ThreadPool, FirstFailureInOrderWins) {
    for (int round = 0; round < 20; ++round) {
        auto r = core::parallel_map<int, std::string>(1000, [](size_t i) -> std::expected<int, std::string> {
            if (i == 700 || i == 313 || i == 999) return std::unexpected("item " + std::to_string(i));
            return int(i);
        });
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "item 313");
    }
    auto v = core::parallel_try<std::string>(100, [](size_t i) -> std::expected<void, std::string> {
        if (i >= 50) return std::unexpected("item " + std::to_string(i));
        return {};
    });
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), "item 50");
    auto empty = core::parallel_map<int, int>(0, [](size_t) -> std::expected<int, int> { return 0; });
    EXPECT_TRUE(empty && empty->empty());
}

#include <string>

#include <gtest/gtest.h>

#include "core/thread_pool.hpp"

// Results keep their order, and of several failures the first in order wins,
// however the workers happen to finish.
TEST(ThreadPool, OrderAndFirstFailure) {
    using Item = std::expected<size_t, std::string>;
    auto squares = core::parallel_map<size_t, std::string>(10'000, [](size_t i) -> Item { return i * i; });
    ASSERT_TRUE(squares);
    for (size_t i = 0; i < squares->size(); ++i) ASSERT_EQ((*squares)[i], i * i);
    for (int round = 0; round < 20; ++round) {
        auto r = core::parallel_map<size_t, std::string>(1000, [](size_t i) -> Item {
            if (i == 700 || i == 313 || i == 999) return std::unexpected("item " + std::to_string(i));
            return i;
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
    auto none = core::parallel_map<size_t, std::string>(0, [](size_t) -> Item { return 0; });
    EXPECT_TRUE(none && none->empty());
}

// Hostile containers: sparse files declaring sizes far beyond their 80 KB
// containers are refused in memory and written to a file as holes.
#include <sys/stat.h>

#include "support.hpp"

namespace {

using namespace apfs_test;

TEST(DamageTest, HostileSparseFiles) {
    // 4 GiB of hole, then 100 bytes from block 5; 1 PiB with one extent of
    // 4 KiB half-way, which a file system either holds sparse or refuses.
    const std::tuple<const char*, const char*, uint64_t> files[] = {
        {"hostile/oom-read_file-sparse-4GiB.apfs", "sparse_4g", 4294967295u},
        {"hostile/timeout-read_file_to-sparse-1PiB.apfs", "huge_sparse", uint64_t(1) << 50}};
    testing_util::ScratchDir dir;
    const auto out = (dir / "out").string();
    for (const auto& [fixture, name, size] : files) {
        const auto path = KIV_REQUIRE_FIXTURE(fixture);
        auto volume = open_file(path);
        EXPECT_EQ(volume.read_file(name).error().kind(), apfs::ApfsError::Kind::Unsupported) << name;
        auto file = core::File::create(out);
        core::FileSink sink(*file);
        auto written = volume.read_file_to(name, sink);
        if (!written && written.error().message() == "I/O error: File too large (os error 27)") continue;
        struct stat st {};
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(std::tuple(written.value_or(0), uint64_t(st.st_size), st.st_blocks * 512 <= 65536),
                  std::tuple(size, size, true))
            << name << ": " << outcome(written);
        if (size > 4294967295u) continue;  // the tail of the 4 GiB file
        Bytes tail(100);
        ASSERT_TRUE(core::File::open_read(out)->pread_some(tail, size - 100));
        const Bytes image = testing_util::read_bytes(path);
        EXPECT_EQ(tail, Bytes(image.begin() + 5 * 4096, image.begin() + 5 * 4096 + 100));
    }
}

}  // namespace

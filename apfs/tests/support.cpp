#include "support.hpp"

#include <set>

namespace apfs_test {

namespace fs = std::filesystem;
using testing_util::shell_quote;

std::string run_ok(const std::string& cmd) {
    auto r = testing_util::run(cmd);
    EXPECT_EQ(r.status, 0) << cmd << "\n" << r.output;
    return r.output;
}

void expect_same_as_7zip(apfs::ApfsVolume& volume, const fs::path& image) {
    testing_util::ScratchDir dir;
    // -snl keeps symbolic links as links, -sns- leaves extended attributes out.
    run_ok("7zz x -snl -sns- -y -o" + shell_quote(dir.path().string()) + " " + shell_quote(image.string()) +
           " >/dev/null 2>&1");
    std::set<std::string> extracted;
    for (auto it = fs::recursive_directory_iterator(dir.path()); it != fs::recursive_directory_iterator(); ++it)
        extracted.insert("/" + it->path().lexically_relative(dir.path()).string());

    auto walk = volume.walk();
    ASSERT_TRUE(walk) << walk.error().message();
    std::set<std::string> walked;
    for (const auto& [path, entry] : *walk) {
        walked.insert(path);
        const fs::path on_disk = dir.path() / path.substr(1);
        auto st = volume.stat(path);
        ASSERT_TRUE(st) << path << ": " << st.error().message();
        EXPECT_EQ(st->kind, entry.kind) << path;
        EXPECT_EQ(st->size, entry.size) << path;
        EXPECT_EQ(st->id, entry.id) << path;
        switch (entry.kind) {
            case apfs::EntryKind::Directory:
                EXPECT_TRUE(fs::is_directory(fs::symlink_status(on_disk))) << path;
                break;
            case apfs::EntryKind::Symlink: {
                ASSERT_TRUE(fs::is_symlink(fs::symlink_status(on_disk))) << path;
                auto target = volume.read_file(path);
                ASSERT_TRUE(target) << path;
                // 7-Zip moves absolute targets below the output folder.
                std::string expected = fs::read_symlink(on_disk).string();
                if (expected.starts_with(dir.path().string())) expected.erase(0, dir.path().string().size());
                EXPECT_EQ(std::string(target->begin(), target->end()), expected) << path;
                EXPECT_EQ(entry.size, target->size()) << path;
                break;
            }
            case apfs::EntryKind::File: {
                ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(on_disk))) << path;
                auto data = volume.read_file(path);
                ASSERT_TRUE(data) << path << ": " << data.error().message();
                EXPECT_EQ(data->size(), entry.size) << path;
                EXPECT_TRUE(*data == testing_util::read_bytes(on_disk)) << path;
                core::VecSink sink;
                auto written = volume.read_file_to(path, sink);
                ASSERT_TRUE(written) << path;
                EXPECT_EQ(*written, data->size());
                EXPECT_TRUE(sink.data() == *data) << path;
                break;
            }
        }
    }
    EXPECT_EQ(walked, extracted);
}

}  // namespace apfs_test

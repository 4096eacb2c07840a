#include "support.hpp"

#include <map>

namespace apfs_test {

namespace fs = std::filesystem;
using testing_util::shell_quote;

// .value() throws when opening fails, which fails the test.
apfs::ApfsVolume open_volume(Bytes bytes) { return apfs::ApfsVolume::open(memory(std::move(bytes))).value(); }

apfs::ApfsVolume open_file(const fs::path& path) {
    return apfs::ApfsVolume::open(std::make_unique<core::FileSource>(core::FileSource::open(path.string()).value()))
        .value();
}

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
    // Each path as its kind and content: a link's target, a hash of a file's bytes.
    auto describe = [](const char* kind, const auto& bytes) {
        return kind + std::to_string(std::hash<std::string>{}(std::string(bytes.begin(), bytes.end())));
    };
    std::map<std::string, std::string> extracted, walked;
    const std::string root = dir.path().string();
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
        std::string target = e.is_symlink() ? fs::read_symlink(e.path()).string() : "";
        if (target.starts_with(root)) target.erase(0, root.size());  // 7-Zip moves absolute targets below its output
        extracted["/" + e.path().lexically_relative(dir.path()).string()] =
            e.is_symlink()     ? describe("link ", target)
            : e.is_directory() ? "dir"
                               : describe("file ", testing_util::read_bytes(e.path()));
    }
    auto walk = volume.walk();
    ASSERT_TRUE(walk) << walk.error().message();
    for (const auto& [path, entry] : *walk) {
        auto st = volume.stat(path);
        ASSERT_TRUE(st) << path << ": " << st.error().message();
        EXPECT_EQ(std::tuple(st->kind, st->size, st->id), std::tuple(entry.kind, entry.size, entry.id)) << path;
        walked[path] = "dir";
        if (entry.kind == apfs::EntryKind::Directory) continue;
        core::VecSink sink;
        auto data = volume.read_file(path);
        auto written = volume.read_file_to(path, sink);
        ASSERT_TRUE(data && written) << path;
        EXPECT_EQ(std::tuple(sink.data(), *written, data->size()), std::tuple(*data, entry.size, entry.size)) << path;
        walked[path] = describe(entry.kind == apfs::EntryKind::Symlink ? "link " : "file ", *data);
    }
    EXPECT_EQ(walked, extracted);
}

}  // namespace apfs_test

// A process that can write into the destination swaps a symbolic link in at a
// link set's name the moment the name appears.  linkat is replaced in this
// program to make that swap right after each link it makes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helpers.hpp"
#include "testing/testing.hpp"

namespace {
std::string swap_target;  // where the link swapped in points; none while empty
}

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    const long made = ::syscall(SYS_linkat, from_dir, from, to_dir, to, flags);
    if (made == 0 && !swap_target.empty() && ::unlinkat(to_dir, to, 0) == 0)
        ::symlinkat(swap_target.c_str(), to_dir, to);
    return int(made);
}

namespace {

namespace fs = std::filesystem;
using namespace pbzx_test;

// The permission bits of the set's file (set-user-ID among them) go to that file only.
TEST(CpioLinkRaceTest, ALinkSwappedInAtALinkedNameLeavesItsTargetAlone) {
    testing_util::ScratchDir scratch;
    const fs::path victim = scratch / "victim";
    testing_util::write_text(victim, "v");
    fs::permissions(victim, fs::perms(0600));
    const auto archive = pbzx::Archive::from_cpio(
        bytes(newc_member("a", "", 0104777, "", 5, 2) + newc_member("b", "data", 0104777, "", 5, 2) + trailer));
    swap_target = victim.string();
    const auto got = archive.extract_all((scratch / "dest").string());
    swap_target.clear();
    EXPECT_TRUE(got) << error_of(got);
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0600));
    EXPECT_EQ(text(testing_util::read_bytes(victim)), "v");
    EXPECT_EQ(fs::status(scratch / "dest/a").permissions(), fs::perms(04777));
    EXPECT_EQ(text(testing_util::read_bytes(scratch / "dest/a")), "data");
}

}  // namespace

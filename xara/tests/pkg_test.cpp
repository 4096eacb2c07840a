// Installer packages: components, Distribution, PackageInfo and Payload.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

xara::PkgReader pkg_from_toc(std::string_view body, std::string_view heap = {}) {
    auto r = xara::PkgReader::open(std::make_unique<core::MemorySource>(make_xar(toc_doc(body), bytes_of(heap))));
    EXPECT_TRUE(r) << r.error().message();
    return std::move(*r);
}

std::string member(std::string_view name, size_t offset, size_t len) {
    return file_xml(0, name, "file", data_xml(offset, len, len, "application/octet-stream"));
}

std::string pkg_dir(std::string_view name, std::string_view inner = {}) {
    return file_xml(0, name, "directory", inner);
}

// Packs a folder with bsdtar, the way pkg tools lay the members out, and opens it.
xara::PkgReader pack(const fs::path& root, const fs::path& out, bool in_memory) {
    auto r = testing_util::run("cd " + testing_util::shell_quote(root.string()) + " && bsdtar --format xar -cf " +
                               testing_util::shell_quote(out.string()) + " * 2>&1");
    EXPECT_EQ(r.status, 0) << r.output;
    std::unique_ptr<core::ByteSource> src;
    if (in_memory) {
        src = std::make_unique<core::MemorySource>(testing_util::read_bytes(out));
    } else {
        src = std::make_unique<core::FileSource>(std::move(*core::FileSource::open(out.string())));
    }
    auto p = xara::PkgReader::open(std::move(src));
    EXPECT_TRUE(p) << p.error().message();
    return std::move(*p);
}

}  // namespace

TEST(PkgComponents, ProductPackageListsPkgDirectoriesInEntryOrder) {
    auto p = pkg_from_toc(pkg_dir("B.pkg", member("Payload", 0, 1)) + member("Distribution", 1, 3) +
                          pkg_dir("A.pkg", member("PackageInfo", 0, 1)) + member("Foo.pkg", 0, 1) + pkg_dir("Bar.PKG") +
                          pkg_dir("x", pkg_dir("nested.pkg")),
                          "P<d>");
    EXPECT_EQ(p.components(), (Strings{"B.pkg", "A.pkg"}));
    EXPECT_TRUE(p.is_product_package());
    EXPECT_EQ(p.distribution()->value(), "<d>");
    EXPECT_EQ(p.list_files(), (Strings{"B.pkg/Payload", "B.pkg", "Distribution", "A.pkg/PackageInfo", "A.pkg", "Foo.pkg",
                                       "Bar.PKG", "x/nested.pkg", "x"}));
    EXPECT_EQ(text_of(*p.payload("B.pkg")), "P");
    EXPECT_EQ(text_of(*p.payload("/B.pkg")), "P");  // the lookup trims the leading slash
    EXPECT_FALSE(p.payload("B.pkg/"));              // "B.pkg//Payload" is no path
    EXPECT_EQ(p.payload("A.pkg").error().message(), "file not found: A.pkg/Payload");
    EXPECT_EQ(p.payload("X.pkg").error().message(), "file not found: X.pkg/Payload");
    EXPECT_EQ(p.payload("X.pkg").error().kind(), xara::XarError::Kind::FileNotFound);
    EXPECT_EQ(p.package_info("A.pkg")->value(), "P");
    EXPECT_FALSE(p.package_info("B.pkg")->has_value());
    EXPECT_FALSE(p.package_info("")->has_value());
}

TEST(PkgComponents, FlatPackagesHaveOneUnnamedComponent) {
    for (const std::string& body : {member("Payload", 0, 2), member("PackageInfo", 2, 4)}) {
        auto p = pkg_from_toc(member("Bom", 0, 1) + body, "PYinfo");
        EXPECT_EQ(p.components(), Strings{""});
        EXPECT_FALSE(p.is_product_package());
        EXPECT_FALSE(p.distribution()->has_value());
    }
    auto p = pkg_from_toc(member("Payload", 0, 2) + member("PackageInfo", 2, 4), "PYinfo");
    EXPECT_EQ(text_of(*p.payload("")), "PY");
    EXPECT_EQ(p.package_info("")->value(), "info");
}

TEST(PkgComponents, NeitherComponentsNorMembers) {
    auto p = pkg_from_toc(member("readme", 0, 1) + pkg_dir("dir", member("Payload", 0, 1)), "x");
    EXPECT_TRUE(p.components().empty());
    EXPECT_EQ(p.payload("").error().message(), "file not found: Payload");
}

TEST(PkgDocuments, InvalidUtf8IsReplacedAndDirectoriesReadEmpty) {
    auto p = pkg_from_toc(member("Distribution", 0, 6) + pkg_dir("C.pkg", pkg_dir("PackageInfo")), "a\xFF" "b\xE2\x82z");
    EXPECT_EQ(p.distribution()->value(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBDz");
    EXPECT_EQ(p.package_info("C.pkg")->value(), "");
}

TEST(PkgDocuments, ReadFailuresAreErrorsNotAbsence) {
    auto p = pkg_from_toc(file_xml(0, "Distribution", "file", data_xml(0, 1, 1, "application/x-xz")) +
                          file_xml(0, "PackageInfo", "file", data_xml(50, 5, 5, "application/octet-stream")));
    EXPECT_EQ(p.distribution().error().message(), "unsupported encoding: application/x-xz");
    EXPECT_EQ(p.package_info("").error().message(), "invalid TOC: XAR raw entry ended after 0 bytes, expected 5");
}

TEST(PkgDocuments, LossyUtf8FollowsTheMaximalSubpartRule) {
    auto lossy = [](std::string_view s) { return xara::utf8_lossy(bytes_of(s)); };
    const std::string R = "\xEF\xBF\xBD";
    EXPECT_EQ(lossy("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(lossy("\xF0\x9F\x98"), R);             // one truncated sequence: one replacement
    EXPECT_EQ(lossy("\xF0\x9F\x98x"), R + "x");
    EXPECT_EQ(lossy("\xC0\xAF"), R + R);             // overlong: each byte
    EXPECT_EQ(lossy("\xED\xA0\x80"), R + R + R);     // surrogate
    EXPECT_EQ(lossy("\xF4\x90\x80\x80"), R + R + R + R);  // above U+10FFFF
    EXPECT_EQ(lossy("\x80\x80"), R + R);
}

TEST(PkgTools, ProductPackagePackedWithBsdtar) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    const fs::path root = scratch / "root";
    fs::create_directories(root);
    const std::string dist = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<installer-gui-script minSpecVersion=\"1\"/>\n";
    testing_util::write_text(root / "Distribution", dist);
    const auto payload_a = testing_util::random_bytes(70000, 1);
    const auto payload_b = testing_util::random_bytes(10, 2);
    for (auto [name, payload] : {std::pair{"core.pkg", &payload_a}, std::pair{"app.pkg", &payload_b}}) {
        fs::create_directories(root / name);
        testing_util::write_text(root / name / "PackageInfo", std::string("<pkg-info identifier=\"") + name + "\"/>");
        testing_util::write_bytes(root / name / "Bom", testing_util::random_bytes(300, 3));
        testing_util::write_bytes(root / name / "Payload", *payload);
    }
    for (bool in_memory : {true, false}) {
        auto p = pack(root, scratch / "product.pkg", in_memory);
        auto comps = p.components();
        std::sort(comps.begin(), comps.end());
        EXPECT_EQ(comps, (Strings{"app.pkg", "core.pkg"}));
        EXPECT_TRUE(p.is_product_package());
        EXPECT_EQ(p.distribution()->value(), dist);
        EXPECT_EQ(p.package_info("core.pkg")->value(), "<pkg-info identifier=\"core.pkg\"/>");
        EXPECT_EQ(*p.payload("core.pkg"), payload_a);
        EXPECT_EQ(*p.payload("app.pkg"), payload_b);
        EXPECT_EQ(p.list_files().size(), 9u);
    }
}

TEST(PkgTools, ComponentPackagePackedWithBsdtar) {
    KIV_REQUIRE_TOOL("bsdtar");
    testing_util::ScratchDir scratch;
    const fs::path root = scratch / "root";
    fs::create_directories(root);
    testing_util::write_text(root / "PackageInfo", "<pkg-info/>");
    testing_util::write_bytes(root / "Bom", testing_util::random_bytes(100, 4));
    const auto payload = testing_util::random_bytes(20000, 5);
    testing_util::write_bytes(root / "Payload", payload);
    auto p = pack(root, scratch / "component.pkg", true);
    EXPECT_EQ(p.components(), Strings{""});
    EXPECT_FALSE(p.is_product_package());
    EXPECT_FALSE(p.distribution()->has_value());
    EXPECT_EQ(p.package_info("")->value(), "<pkg-info/>");
    EXPECT_EQ(*p.payload(""), payload);
}

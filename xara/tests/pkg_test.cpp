// Installer packages: components, Distribution, PackageInfo and Payload.
#include <gtest/gtest.h>

#include "support.hpp"

using namespace xara_test;
using Strings = std::vector<std::string>;

namespace {

xara::PkgReader pkg_from_toc(const std::string& body, std::string_view heap = {}) {
    auto r = xara::PkgReader::open(std::make_unique<core::MemorySource>(make_xar(toc_doc(body), bytes_of(heap))));
    EXPECT_TRUE(r) << r.error().message();
    return std::move(*r);
}

// Counts the bytes a memory source hands out.
class CountingSource final : public core::ByteSource {
public:
    explicit CountingSource(std::vector<uint8_t> bytes, uint64_t& count) : inner_(std::move(bytes)), count_(count) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        auto n = inner_.read(buf);
        if (n) count_ += *n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return inner_.seek(pos); }
    uint64_t position() const override { return inner_.position(); }
    core::IoResult<uint64_t> size() override { return inner_.size(); }

private:
    core::MemorySource inner_;
    uint64_t& count_;
};

}  // namespace

TEST(PkgOpen, ReadsTheTableOfContentsOnce) {
    uint64_t read = 0;
    auto p = xara::PkgReader::open(
        std::make_unique<CountingSource>(make_xar(toc_doc(dir("A.pkg", stored("Payload", 0, 1))), bytes_of("P")), read));
    ASSERT_TRUE(p) << p.error().message();
    EXPECT_EQ(read, p->archive().heap_start());  // header and TOC, nothing twice, no heap
    EXPECT_EQ(p->components(), Strings{"A.pkg"});
}

TEST(PkgComponents, ProductPackageListsPkgDirectoriesInEntryOrder) {
    auto p = pkg_from_toc(dir("B.pkg", stored("Payload", 0, 1)) + stored("Distribution", 1, 3) +
                              dir("A.pkg", stored("PackageInfo", 0, 1)) + stored("Foo.pkg", 0, 1) + dir("Bar.PKG") +
                              dir("x", dir("nested.pkg")),
                          "P<d>");
    EXPECT_EQ(p.components(), (Strings{"B.pkg", "A.pkg"}));
    EXPECT_TRUE(p.is_product_package());
    EXPECT_EQ(p.distribution().value().value(), "<d>");
    EXPECT_EQ(p.list_files(),
              (Strings{"B.pkg/Payload", "B.pkg", "Distribution", "A.pkg/PackageInfo", "A.pkg", "Foo.pkg", "Bar.PKG", "x/nested.pkg", "x"}));
    EXPECT_EQ(text_of(p.payload("B.pkg").value()), "P");
    EXPECT_EQ(text_of(p.payload("/B.pkg").value()), "P");  // the lookup trims the leading slash
    EXPECT_EQ(msg(p.payload("B.pkg/")), "file not found: B.pkg//Payload");
    EXPECT_EQ(msg(p.payload("A.pkg")), "file not found: A.pkg/Payload");
    EXPECT_EQ(p.package_info("A.pkg").value().value(), "P");
    EXPECT_FALSE(p.package_info("B.pkg").value().has_value());
    EXPECT_FALSE(p.package_info("").value().has_value());
}

TEST(PkgComponents, FlatPackagesHaveOneUnnamedComponent) {
    for (const std::string& body : {stored("Payload", 0, 2), stored("PackageInfo", 2, 4)}) {
        EXPECT_EQ(pkg_from_toc(stored("Bom", 0, 1) + body, "PYinfo").components(), Strings{""});
    }
    auto p = pkg_from_toc(stored("Payload", 0, 2) + stored("PackageInfo", 2, 4), "PYinfo");
    EXPECT_FALSE(p.is_product_package());
    EXPECT_FALSE(p.distribution().value().has_value());
    EXPECT_EQ(text_of(p.payload("").value()), "PY");
    EXPECT_EQ(p.package_info("").value().value(), "info");
    // Neither components nor members.
    auto none = pkg_from_toc(stored("readme", 0, 1) + dir("dir", stored("Payload", 0, 1)), "x");
    EXPECT_TRUE(none.components().empty());
    EXPECT_EQ(msg(none.payload("")), "file not found: Payload");
}

TEST(PkgDocuments, InvalidUtf8IsReplacedAndReadFailuresAreErrorsNotAbsence) {
    auto p = pkg_from_toc(stored("Distribution", 0, 6) + dir("C.pkg", dir("PackageInfo")), "a\xFF" "b\xE2\x82z");
    EXPECT_EQ(p.distribution().value().value(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBDz");
    EXPECT_EQ(p.package_info("C.pkg").value().value(), "");  // a directory reads empty
    auto bad = pkg_from_toc(file_xml("Distribution", "file", data_xml(0, 1, 1, "application/x-xz")) + stored("PackageInfo", 50, 5));
    EXPECT_EQ(msg(bad.distribution()), "unsupported encoding: application/x-xz");
    EXPECT_EQ(msg(bad.package_info("")), "invalid TOC: XAR raw entry ended after 0 bytes, expected 5");

}

// Installer packages: components, Distribution, PackageInfo and Payload.
#include <gtest/gtest.h>

#include "support.hpp"

using namespace xara_test;

namespace {

// A memory source that counts the bytes it reads out (not those taken from its memory directly).
struct CountingSource final : core::ByteSource {
    CountingSource(std::vector<uint8_t> bytes, uint64_t& count) : inner(std::move(bytes)), count(count) {}
    core::IoResult<size_t> read(std::span<uint8_t> buf) override {
        auto n = inner.read(buf);
        if (n) count += *n;
        return n;
    }
    core::IoResult<uint64_t> seek(uint64_t pos) override { return inner.seek(pos); }
    uint64_t position() const override { return inner.position(); }
    core::IoResult<uint64_t> size() override { return inner.size(); }
    core::MemorySource inner;
    uint64_t& count;
};

// "[components] (product) {files} D=distribution", then "| c: P=payload I=package info" for each component asked.
std::string show(const std::string& body, std::string_view heap, const std::vector<std::string>& asked) {
    uint64_t read = 0;
    auto p = xara::PkgReader::open(std::make_unique<CountingSource>(make_xar(toc_doc(body), bytes_of(heap)), read));
    if (!p) return p.error().message();
    // A hostile table of contents costs its parse once: the header and TOC are read once, no heap yet.
    EXPECT_EQ(read, p->archive().heap_start());
    const auto text = [](const auto& r) { return !r ? r.error().message() : r->has_value() ? **r : std::string("none"); };
    std::string out = "[";
    for (const auto& c : p->components()) out += c + ",";
    out += p->is_product_package() ? "] product {" : "] {";
    for (const auto& f : p->list_files()) out += f + ",";
    out += "} D=" + text(p->distribution());
    for (const auto& c : asked) {
        auto payload = p->payload(c);
        out += " | " + c + ": P=" + (payload ? text_of(*payload) : payload.error().message()) + " I=" + text(p->package_info(c));
    }
    return out;
}

}  // namespace

TEST(Pkg, ComponentsDocumentsAndPayloads) {
    const std::string nf = "file not found: ";
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>, std::string>> rows = {
        // Product package: .pkg directories at the top level, in entry order; the lookups trim slashes at both ends.
        {dir("B.pkg", stored("Payload", 0, 1)) + stored("Distribution", 1, 3) + dir("A.pkg", stored("PackageInfo", 0, 1)) +
             stored("Foo.pkg", 0, 1) + dir("Bar.PKG") + dir("x", dir("nested.pkg")),
         "P<d>", {"B.pkg", "/B.pkg", "B.pkg/", "A.pkg", ""},
         "[B.pkg,A.pkg,] product {B.pkg/Payload,B.pkg,Distribution,A.pkg/PackageInfo,A.pkg,Foo.pkg,Bar.PKG,x/nested.pkg,x,} D=<d>"
         " | B.pkg: P=P I=none | /B.pkg: P=P I=none | B.pkg/: P=" + nf + "B.pkg//Payload I=none | A.pkg: P=" + nf +
             "A.pkg/Payload I=P | : P=" + nf + "Payload I=none"},
        // Flat packages have one unnamed component, with a Payload or a PackageInfo at the top.
        {stored("Bom", 0, 1) + stored("Payload", 0, 2), "PYinfo", {""}, "[,] {Bom,Payload,} D=none | : P=PY I=none"},
        {stored("Bom", 0, 1) + stored("PackageInfo", 2, 4), "PYinfo", {""}, "[,] {Bom,PackageInfo,} D=none | : P=" + nf + "Payload I=info"},
        // Neither components nor members.
        {stored("readme", 0, 1) + dir("dir", stored("Payload", 0, 1)), "x", {""}, "[] {readme,dir/Payload,dir,} D=none | : P=" + nf + "Payload I=none"},
        // Invalid UTF-8 is replaced; a directory reads empty.
        {stored("Distribution", 0, 6) + dir("C.pkg", dir("PackageInfo")), "a\xFF" "b\xE2\x82z", {"C.pkg"},
         "[C.pkg,] product {Distribution,C.pkg/PackageInfo,C.pkg,} D=a\xEF\xBF\xBD" "b\xEF\xBF\xBDz | C.pkg: P=" + nf + "C.pkg/Payload I="},
        // Read failures are errors, not absence; a Payload alone makes a flat package too.
        {file_xml("Distribution", "file", data_xml(0, 1, 1, "application/x-xz")) + stored("Payload", 50, 5), "", {""},
         "[,] product {Distribution,Payload,} D=unsupported encoding: application/x-xz | : P=invalid TOC: XAR raw entry ended after 0 "
         "bytes, expected 5 I=none"},
        {stored("PackageInfo", 50, 5), "", {""}, "[,] {PackageInfo,} D=none | : P=" + nf + "Payload I=invalid TOC: XAR raw entry ended after 0 bytes, expected 5"},
    };
    for (const auto& [body, heap, asked, expected] : rows) EXPECT_EQ(show(body, heap, asked), expected) << body;
}

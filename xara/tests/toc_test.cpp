// The table-of-contents parser: structure, fields, lookup and every rejection.
#include <gtest/gtest.h>

#include "support.hpp"
#include "testing/testing.hpp"

using namespace xara_test;
using Strings = std::vector<std::string>;

namespace {

std::string one_file(std::string_view inner) { return toc_doc("<file id=\"1\">" + std::string(inner) + "</file>"); }
std::string named(std::string_view inner) { return one_file("<name>a</name><type>file</type>" + std::string(inner)); }
std::string offset_of(std::string_view v) {
    return named("<data><offset>" + std::string(v) + "</offset><length>0</length><size>0</size></data>");
}
std::string base64_name(std::string_view v) {
    return one_file("<name enctype=\"base64\">" + std::string(v) + "</name><type>file</type>");
}

// `depth` nested directories, the outermost named `top`, the others "d".
std::string chain(const std::string& top, int depth) {
    std::string inner;
    for (int i = 1; i < depth; ++i) inner = dir("d", inner);
    return dir(top, inner);
}

// "#id type path [^parent] [<children>] [-> link] [data offset/length/size [encoding] checksums]" per entry.
Strings describe(const std::vector<xara::XarFile>& files) {
    Strings out;
    for (const auto& f : files) {
        std::string s = "#" + std::to_string(f.id) + " " + std::string(core::entry_kind_lower_name(f.file_type)) + " " + f.path;
        if (f.parent) s += " ^" + std::to_string(*f.parent);
        for (size_t i = 0; i < f.children.size(); ++i) s += (i ? " " : " <") + std::to_string(f.children[i]);
        if (!f.children.empty()) s += ">";
        if (f.link) s += " -> " + *f.link;
        if (const auto& d = f.data) {
            s += " data " + std::to_string(d->offset) + "/" + std::to_string(d->length) + "/" + std::to_string(d->size) + " [" +
                 d->encoding + "] " + d->extracted_checksum.value_or("") + " " + d->archived_checksum.value_or("");
        }
        out.push_back(s);
    }
    return out;
}

}  // namespace

TEST(TocParse, MalformedTocsAreRejectedWithTheirReason) {
    // Each entity twice the one before, thirty times over.
    std::string bomb = "<!DOCTYPE xar [<!ENTITY e0 \"" + std::string(50, 'a') + "\">";
    for (int i = 1; i <= 30; ++i) bomb += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";&e" + std::to_string(i - 1) + ";\">";
    bomb += "]><xar><toc><file id=\"&e30;\"/></toc></xar>";
    const std::string d = "<offset>0</offset><length>0</length><size>0</size>";
    // Each reason with the documents that must fail with it.
    const std::vector<std::pair<std::string, Strings>> cases = {
        // The document element.
        {"duplicate or misplaced XAR document element",
         {"<toc></toc>", "<xar><toc/><toc/></xar>", "<xar><x><xar/></x></xar>", "<xar><toc><toc/></toc></xar>"}},
        {"the TOC document root must be <xar>", {"<root/>", "<file/>"}},
        {"TOC XML must contain one <xar>/<toc> document", {"<xar/>", ""}},
        {"unexpected end of TOC XML", {"<xar><toc>", "<xar><toc><file><name>a</name>"}},
        // What the XML reader itself refuses.
        {"XML error: mismatched tag at line 1, column 13", {"<xar><toc></xar>"}},
        {"XML error: not well-formed (invalid token) at line 1, column 12", {"<xar><toc/>\xFF</xar>"}},
        {"invalid XML text: undefined entity at line 4, column 20", {one_file("<name>&foo;</name><type>file</type>")}},
        // Entities a document type declares are not expanded either.
        {"invalid XML text: undefined entity &e;", {"<!DOCTYPE xar [<!ENTITY e \"x\">]><xar><toc><x>&e;</x></toc></xar>"}},
        {"XML error: limit on input amplification factor (from DTD and entities) breached at line 1, column 844", {bomb}},
        {"<file> elements nested deeper than 1024 levels", {toc_doc(chain("d", 1025))}},
        // Required metadata, checked in this order when a <file> closes.
        {"empty <file> is missing required metadata", {toc_doc("<file id=\"1\"/>")}},
        {"file is missing a non-empty direct <name>",
         {one_file(""), one_file("<name></name><type>file</type>"), one_file("<x><name>a</name></x><type>file</type>"),
          one_file("<name enctype=\"base64\"/><type>file</type>")}},
        {"file is missing a direct <type>",
         {one_file("<name>a</name>"), toc_doc("<file><name>a</name></file><file><type>file</type></file>")}},
        {"unsupported file <type> value \"pipe\"", {one_file("<name>a</name><type> pipe </type>")}},
        {"unsupported file <type> value \"File\"", {one_file("<name>a</name><type>File</type>")}},
        {"symlink is missing a non-empty direct <link>",
         {one_file("<name>a</name><type>symlink</type>"), one_file("<name>a</name><type>symlink</type><link></link>")}},
        {"file <data> is missing <offset>, <length>, and <size>", {named("<data/>")}},
        {"file <data> is missing <offset>", {named("<data></data>")}},
        {"file <data> is missing <length>", {named("<data><offset>1</offset></data>")}},
        {"file <data> is missing <size>", {named("<data><offset>1</offset><length>1</length></data>")}},
        {"file data <encoding> is missing its style attribute", {named("<data><encoding/></data>")}},
        // Fields: duplicates, nesting, numbers and base64 names (the libarchive samples bring more).
        {"duplicate direct <name> field in <file>", {named("<name>b</name>")}},
        {"duplicate direct <type> field in <file>", {named("<type>file</type>")}},
        {"duplicate direct <link> field in <file>", {named("<link>x</link><link/>")}},
        {"duplicate direct <offset> field in <file>", {named("<data>" + d + "<offset>1</offset></data>")}},
        {"duplicate direct <extracted-checksum> field in <file>", {named("<data><extracted-checksum/><extracted-checksum/></data>")}},
        {"duplicate direct <encoding> field in file <data>", {named("<data><encoding style=\"a\"/><encoding style=\"b\"/></data>")}},
        {"duplicate direct <data> block in <file>", {named("<data></data><data>")}},
        {"nested element inside scalar file metadata", {one_file("<name>a<b/></name>")}},
        {"invalid <offset> value \"1 2\": invalid digit found in string", {offset_of("1 2")}},
        {"invalid <offset> value \" \\n\": cannot parse integer from empty string", {offset_of(" \n")}},
        {"invalid <offset> value \"18446744073709551616\": number too large to fit in target type", {offset_of("18446744073709551616")}},
        {"invalid <file id> value \"x\": invalid digit found in string",
         {toc_doc("<file id=\"x\"><name>a</name><type>file</type></file>")}},
        {"unsupported <name> enctype \"BASE64\"", {one_file("<name enctype=\"BASE64\">aGk=</name><type>file</type>")}},
        {"invalid base64 <name> value \"aGk\": Invalid padding", {base64_name("aGk")}},
        {"invalid base64 <name> value \"YWJjA\": Invalid input length.", {base64_name("YWJjA")}},
        {"invalid base64 <name> value \"a*k=\": Invalid symbol 42, offset 1.", {base64_name("a*k=")}},
        {"invalid base64 <name> value \"aGl=\": Invalid last symbol 108, offset 2.", {base64_name("aGl=")}},
        {"<name enctype=\"base64\"> decoded to invalid UTF-8: incomplete utf-8 byte sequence from index 1", {base64_name("YcM=")}},
    };
    for (const auto& [message, documents] : cases) {
        for (const auto& xml : documents) {
            SCOPED_TRACE(xml.substr(0, 160));
            EXPECT_EQ(msg(parse_xml(xml)), "XML parse error: " + message);
        }
    }
}

TEST(TocParse, EntriesComeInPostOrderWithTheirFields) {
    const std::string data = " data 20/23/16 [application/x-gzip]  ";
    const std::vector<std::pair<std::string, Strings>> rows = {
        {"<xar><toc></toc></xar>", {}},
        {"<xar><toc/></xar>", {}},
        {toc_doc(dir("a", file_xml("b", "file") + dir("c", symlink_xml("d", "../b"))) + file_xml("top", "file")),
         {"#0 file a/b ^3", "#0 symlink a/c/d ^2 -> ../b", "#0 directory a/c ^3 <1>", "#0 directory a <0 2>", "#0 file top"}},
        {"<?xml version=\"1.0\"?><!DOCTYPE xar><!-- c --><xar><toc><?p?><creation-time>now</creation-time>"
         "<checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
         "<signature><file><name>ghost</name></file></signature>"
         // Entities, CDATA and comments make up a name; fields out of place do not count.
         "<file id=\"&#x31;2\"><name>a&amp;b&#x41;&lt;<![CDATA[<c>&amp;]]><!-- c --></name><type>\n  file \t\n</type>"
         "<mode>0644</mode><ea><name>com.apple.x</name><offset>1</offset></ea><offset>x</offset><encoding/><link>x</link>"
         "<data><name>zz</name><type>bad</type><offset> +12 </offset><length>0000000000000000000042</length>"
         "<size>18446744073709551615</size><extracted-checksum style=\"sha1\">\n abc \n</extracted-checksum>"
         "<archived-checksum> def</archived-checksum><encoding style=\" a&amp;b\">ignored<x/></encoding></data></file>"
         // Names keep their spaces; types trim Unicode white space.
         "<file><name> spaced </name><type>\xC2\xA0" "directory\xE3\x80\x80</type><link>x</link></file>"
         "<file><name enctype=\"base64\">aMOp\n bGxv\r\n</name><type>symlink</type><link type=\"broken\"> t </link></file>"
         // A slash from base64 becomes part of the path; extraction deals with it.
         "<file><name enctype=\"base64\">Li4vZXRj</name><type>file</type></file>"
         // The last two symbols of the alphabet.
         "<file><name enctype=\"base64\">Pz8/Pz8+</name><type>file</type></file></toc></xar>",
         {"#12 file a&bA<<c>&amp; data 12/42/18446744073709551615 [ a&b] abc def", "#0 directory  spaced ",
          "#0 symlink h\xC3\xA9llo ->  t ", "#0 file ../etc", "#0 file ?\?\?\?\?>"}},
        {named("<data><offset>0</offset><length>0</length><size>0</size></data>"), {"#1 file a data 0/0/0 [application/octet-stream]  "}},
        // Hard links without data share the original's, those with their own keep it; special files list as empty
        // files.
        {toc_doc("<file id=\"2\"><name>copy</name><type link=\"1\">hardlink</type></file>"
                 "<file id=\"1\"><name>f1</name><type link=\"original\">hardlink</type>" +
                 data_xml(20, 23, 16, "application/x-gzip") +
                 "</file><file id=\"6\"><name>own</name><type link=\"1\">hardlink</type>" + data_xml(7, 3, 3, "application/octet-stream") +
                 "</file><file id=\"3\"><name>fifo</name><type>fifo</type>" + data_xml(0, 1, 1, "application/octet-stream") +
                 "</file><file id=\"4\"><name>dev</name><type>character special</type></file>"
                 "<file id=\"5\"><name>stray</name><type link=\"99\">hardlink</type></file>"),
         {"#2 file copy" + data, "#1 file f1" + data, "#6 file own data 7/3/3 [application/octet-stream]  ", "#3 file fifo",
          "#4 file dev", "#5 file stray"}},
    };
    for (const auto& [xml, expected] : rows) {
        auto r = parse_xml(xml);
        ASSERT_TRUE(r) << r.error().message() << "\n" << xml;
        EXPECT_EQ(describe(*r), expected);
    }
}

TEST(TocParse, PathBytesAreBounded) {
    // One long name at the top of a deep chain repeats in every descendant's path.
    const std::string quadratic = toc_doc(chain(std::string(200000, 'n'), 1000));
    EXPECT_EQ(msg(parse_xml(quadratic)),
              "XML parse error: XAR file paths exceed " + std::to_string(65536 + 32 * quadratic.size()) + " bytes in total");
    EXPECT_TRUE(parse_xml(toc_doc(chain(std::string(1000, 'n'), 30))));
    // As deep as the parser allows (one level more is refused above), without recursion.
    EXPECT_EQ(parse_xml(toc_doc(chain("d", 1024))).value().front().path.size(), size_t(1024 * 2 - 1));
}

TEST(TocParse, RunningOutOfMemoryIsAnErrorNotAnException) {
    // An exception escaping the parse fails the test on its own.  Paths longer
    // than a short string make the final pass allocate as well.
    const auto xml = bytes_of(toc_doc(dir("a long folder name", stored("b", 0, 1) + symlink_xml("l", "b")) + "<x>&amp;</x>"));
    for (long n = 0;; ++n) {
        fail_allocation(n);
        const auto r = xara::toc::parse_toc_xml(xml);
        fail_allocation(-1);
        if (r) break;  // every allocation of the parse has failed once
        ASSERT_EQ(msg(r), "XML parse error: XML error: out of memory") << "allocation " << n;
    }
}

TEST(TocParse, FindByPathTrimsSlashesOnly) {
    const auto f = parse_xml(toc_doc(dir("a", file_xml("b", "file")) + file_xml("a", "file"))).value();
    EXPECT_EQ(xara::toc::find_by_path(f, "/a/b/"), &f[0]);
    EXPECT_EQ(xara::toc::find_by_path(f, "a/b"), &f[0]);
    EXPECT_EQ(xara::toc::find_by_path(f, "a"), &f[1]);  // the first of two equal paths
    for (const char* none : {"a//b", "./a", "A", "", "///"}) EXPECT_EQ(xara::toc::find_by_path(f, none), nullptr) << none;
}

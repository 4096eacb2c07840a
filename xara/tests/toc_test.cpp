// The table-of-contents parser: structure, required metadata, field rules and its error texts.
#include <gtest/gtest.h>

#include "support.hpp"

using namespace xara_test;
using xara::XarFileType;

namespace {

std::string file_with(std::string_view inner, std::string_view attrs = " id=\"1\"") {
    return "<file" + std::string(attrs) + ">" + std::string(inner) + "</file>";
}

std::string one_file(std::string_view inner) { return toc_doc(file_with(inner)); }

std::string error_of_file(std::string_view inner) { return parse_error(one_file(inner)); }

const std::string kXmlErr = "XML parse error: ";

}  // namespace

TEST(TocStructure, EmptyTocInEitherSpellingGivesNoEntries) {
    for (const char* doc : {"<xar><toc></toc></xar>", "<xar><toc/></xar>", "<?xml version=\"1.0\"?><xar>\n<toc/>\n</xar>"}) {
        auto r = parse_xml(doc);
        ASSERT_TRUE(r) << doc << ": " << r.error().message();
        EXPECT_TRUE(r->empty());
    }
}

TEST(TocStructure, NestedFilesComeInPostOrderWithParentsChildrenAndPaths) {
    auto r = parse_xml(toc_doc(
        "<file id=\"1\"><name>a</name><type>directory</type>"
        "  <file id=\"2\"><name>b</name><type>file</type></file>"
        "  <file id=\"3\"><name>c</name><type>directory</type>"
        "    <file id=\"4\"><name>d</name><type>symlink</type><link>../b</link></file>"
        "  </file>"
        "</file>"
        "<file id=\"5\"><name>top</name><type>file</type></file>"));
    ASSERT_TRUE(r) << r.error().message();
    const auto& f = *r;
    ASSERT_EQ(f.size(), 5u);
    std::vector<std::string> paths;
    for (auto& e : f) paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"a/b", "a/c/d", "a/c", "a", "top"}));
    EXPECT_EQ(f[0].parent, 3u);
    EXPECT_EQ(f[1].parent, 2u);
    EXPECT_EQ(f[2].parent, 3u);
    EXPECT_FALSE(f[3].parent);
    EXPECT_FALSE(f[4].parent);
    EXPECT_EQ(f[3].children, (std::vector<size_t>{0, 2}));
    EXPECT_EQ(f[2].children, (std::vector<size_t>{1}));
    EXPECT_EQ(f[1].file_type, XarFileType::Symlink);
    EXPECT_EQ(f[1].link, "../b");
    EXPECT_EQ(f[3].id, 1u);
    EXPECT_EQ(f[4].id, 5u);
}

TEST(TocStructure, DeepNestingResolvesFullPaths) {
    constexpr int kDepth = 3000;  // far deeper than any writer nests
    std::string body;
    for (int i = 0; i < kDepth; ++i) body += "<file><name>d</name><type>directory</type>";
    for (int i = 0; i < kDepth; ++i) body += "</file>";
    auto r = parse_xml(toc_doc(body));
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), size_t(kDepth));
    EXPECT_EQ(r->front().path.size(), size_t(kDepth * 2 - 1));
    EXPECT_EQ(r->back().path, "d");
    EXPECT_EQ(r->front().id, 0u);  // no id attribute
}

TEST(TocStructure, QuadraticPathGrowthIsRefused) {
    // One long name at the top of a deep chain would repeat in every descendant's path.
    constexpr int kDepth = 2200;
    std::string body = "<file><name>" + std::string(200000, 'n') + "</name><type>directory</type>";
    for (int i = 0; i < kDepth; ++i) body += "<file><name>d</name><type>directory</type>";
    for (int i = 0; i <= kDepth; ++i) body += "</file>";
    EXPECT_EQ(parse_error(toc_doc(body)), kXmlErr + "XAR file paths exceed 268435456 bytes in total");
}

TEST(TocStructure, DocumentElementRules) {
    EXPECT_EQ(parse_error("<toc></toc>"), kXmlErr + "duplicate or misplaced XAR document element");
    EXPECT_EQ(parse_error("<root/>"), kXmlErr + "the TOC document root must be <xar>");
    EXPECT_EQ(parse_error("<file/>"), kXmlErr + "the TOC document root must be <xar>");
    EXPECT_EQ(parse_error("<xar><toc/><toc/></xar>"), kXmlErr + "duplicate or misplaced XAR document element");
    EXPECT_EQ(parse_error("<xar><x><xar/></x></xar>"), kXmlErr + "duplicate or misplaced XAR document element");
    EXPECT_EQ(parse_error("<xar><toc><toc/></toc></xar>"), kXmlErr + "duplicate or misplaced XAR document element");
    EXPECT_EQ(parse_error("<xar/>"), kXmlErr + "TOC XML must contain one <xar>/<toc> document");
    EXPECT_EQ(parse_error("<xar><other/></xar>"), kXmlErr + "TOC XML must contain one <xar>/<toc> document");
    EXPECT_EQ(parse_error(""), kXmlErr + "TOC XML must contain one <xar>/<toc> document");
    EXPECT_EQ(parse_error("<xar><toc>"), kXmlErr + "unexpected end of TOC XML");
    EXPECT_EQ(parse_error("<xar><toc><file><name>a</name>"), kXmlErr + "unexpected end of TOC XML");
}

TEST(TocStructure, ReaderErrorsAreXmlErrors) {
    for (const char* doc : {"<xar><toc></xar>", "<xar><toc/></xar></xar>", "<xar><toc/></xar", "<xar><toc a='1' a='2'/></xar>",
                            "<xar><toc/>\xFF</xar>"}) {
        const std::string e = parse_error(doc);
        EXPECT_EQ(e.rfind(kXmlErr + "XML error: ", 0), 0u) << doc << " -> " << e;
    }
}

TEST(TocStructure, UnknownElementsAndTheirSubtreesAreIgnored) {
    auto r = parse_xml(toc_doc(
        "<creation-time>now</creation-time><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
        "<signature><file><name>ghost</name></file></signature>"
        "<file id=\"1\"><name>a</name><type>file</type><mode>0644</mode><ea><name>com.apple.x</name>"
        "<offset>1</offset></ea><!-- comment --><?pi x?></file>"));
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].name, "a");
    EXPECT_FALSE((*r)[0].data);
}

TEST(TocStructure, NameInsideUnknownElementDoesNotCount) {
    EXPECT_EQ(error_of_file("<x><name>a</name></x><type>file</type>"), kXmlErr + "file is missing a non-empty direct <name>");
}

TEST(TocStructure, ProcessingInstructionsCommentsAndDoctypeAreIgnored) {
    auto r = parse_xml("<?xml version=\"1.0\"?><!DOCTYPE xar><!-- c --><xar><toc><?p?><file><name>a<!-- c -->b</name>"
                       "<type>file</type></file></toc></xar>");
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].name, "ab");
}

TEST(TocFields, TextEntitiesAndCdataMakeUpTheValue) {
    auto r = parse_xml(one_file("<name>a&amp;b&#x41;&lt;<![CDATA[<c>&amp;]]></name><type>file</type>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].name, "a&bA<<c>&amp;");
}

TEST(TocFields, NameKeepsSpacesTypeAndChecksumsAreTrimmed) {
    auto r = parse_xml(one_file("<name> spaced </name><type>\n  file \t\n</type>"
                                "<data><offset> 1 </offset><length>2</length><size>2</size>"
                                "<extracted-checksum style=\"sha1\">\n abc \n</extracted-checksum>"
                                "<archived-checksum> def</archived-checksum></data>"));
    ASSERT_TRUE(r) << r.error().message();
    const auto& e = (*r)[0];
    EXPECT_EQ(e.name, " spaced ");
    EXPECT_EQ(e.path, " spaced ");
    EXPECT_EQ(e.file_type, XarFileType::File);
    ASSERT_TRUE(e.data);
    EXPECT_EQ(e.data->offset, 1u);
    EXPECT_EQ(e.data->extracted_checksum, "abc");
    EXPECT_EQ(e.data->archived_checksum, "def");
    EXPECT_EQ(e.data->encoding, "application/octet-stream");
}

TEST(TocFields, TypeTrimsUnicodeWhiteSpace) {
    auto r = parse_xml(one_file("<name>a</name><type>\xC2\xA0" "directory\xE3\x80\x80</type>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].file_type, XarFileType::Directory);
}

TEST(TocFields, Base64Names) {
    // "héllo" split over lines with mixed white space.
    auto r = parse_xml(one_file("<name enctype=\"base64\">aMOp\n bGxv\r\n</name><type>file</type>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].name, "h\xC3\xA9llo");

    EXPECT_EQ(error_of_file("<name enctype=\"BASE64\">aGk=</name><type>file</type>"),
              kXmlErr + "unsupported <name> enctype \"BASE64\"");
    EXPECT_EQ(error_of_file("<name enctype=\"base64\">aGk</name><type>file</type>"),
              kXmlErr + "invalid base64 <name> value \"aGk\": Invalid padding");
    EXPECT_EQ(error_of_file("<name enctype=\"base64\">a*k=</name><type>file</type>"),
              kXmlErr + "invalid base64 <name> value \"a*k=\": Invalid symbol 42, offset 1.");
    EXPECT_EQ(error_of_file("<name enctype=\"base64\">aGl=</name><type>file</type>"),
              kXmlErr + "invalid base64 <name> value \"aGl=\": Invalid last symbol 108, offset 2.");
    EXPECT_EQ(error_of_file("<name enctype=\"base64\">/w==</name><type>file</type>"),
              kXmlErr + "<name enctype=\"base64\"> decoded to invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0");
    EXPECT_EQ(error_of_file("<name enctype=\"base64\">YcOp\nw6k=</name><type>file</type>"), "ok");
    // Base64 may carry a slash: it becomes part of the path, which extraction sanitises later.
    auto s = parse_xml(one_file("<name enctype=\"base64\">Li4vZXRj</name><type>file</type>"));
    ASSERT_TRUE(s);
    EXPECT_EQ((*s)[0].path, "../etc");
}

TEST(TocFields, EmptyBase64NameIsAMissingName) {
    EXPECT_EQ(error_of_file("<name enctype=\"base64\"/><type>file</type>"), kXmlErr + "file is missing a non-empty direct <name>");
}

TEST(TocFields, NumberFields) {
    auto offset_of = [](std::string_view text) {
        return parse_xml(one_file("<name>a</name><type>file</type><data><offset>" + std::string(text) +
                                  "</offset><length>0</length><size>0</size></data>"));
    };
    auto ok = offset_of("+12");
    ASSERT_TRUE(ok);
    EXPECT_EQ((*ok)[0].data->offset, 12u);
    auto zeros = offset_of("0000000000000000000042");
    ASSERT_TRUE(zeros);
    EXPECT_EQ((*zeros)[0].data->offset, 42u);
    auto max = offset_of("18446744073709551615");
    ASSERT_TRUE(max);
    EXPECT_EQ((*max)[0].data->offset, UINT64_MAX);

    auto err = [&](std::string_view text) {
        auto r = offset_of(text);
        return r ? std::string("ok") : r.error().message();
    };
    EXPECT_EQ(err("-1"), kXmlErr + "invalid <offset> value \"-1\": invalid digit found in string");
    EXPECT_EQ(err("1 2"), kXmlErr + "invalid <offset> value \"1 2\": invalid digit found in string");
    EXPECT_EQ(err("+"), kXmlErr + "invalid <offset> value \"+\": invalid digit found in string");
    EXPECT_EQ(err(" \n"), kXmlErr + "invalid <offset> value \" \\n\": cannot parse integer from empty string");
    EXPECT_EQ(err("18446744073709551616"),
              kXmlErr + "invalid <offset> value \"18446744073709551616\": number too large to fit in target type");
    EXPECT_EQ(parse_error(toc_doc("<file id=\"x\"><name>a</name><type>file</type></file>")),
              kXmlErr + "invalid <file id> value \"x\": invalid digit found in string");
    EXPECT_EQ(error_of_file("<name>a</name><type>file</type><data><offset/><length>0</length><size>0</size></data>"),
              kXmlErr + "invalid <offset> value \"\": cannot parse integer from empty string");
}

TEST(TocFields, DuplicateFieldsFail) {
    const std::string base = "<name>a</name><type>file</type>";
    EXPECT_EQ(error_of_file(base + "<name>b</name>"), kXmlErr + "duplicate direct <name> field in <file>");
    EXPECT_EQ(error_of_file(base + "<type>file</type>"), kXmlErr + "duplicate direct <type> field in <file>");
    EXPECT_EQ(error_of_file(base + "<link>x</link><link/>"), kXmlErr + "duplicate direct <link> field in <file>");
    const std::string d = "<offset>0</offset><length>0</length><size>0</size>";
    for (const char* f : {"offset", "length", "size", "extracted-checksum", "archived-checksum"}) {
        EXPECT_EQ(error_of_file(base + "<data>" + d + "<extracted-checksum/><archived-checksum/><" + f + ">1</" + f + "></data>"),
                  kXmlErr + "duplicate direct <" + f + "> field in <file>");
    }
    EXPECT_EQ(error_of_file(base + "<data>" + d + "<encoding style=\"a\"/><encoding style=\"b\"></encoding></data>"),
              kXmlErr + "duplicate direct <encoding> field in file <data>");
    EXPECT_EQ(error_of_file(base + "<data>" + d + "</data><data>"), kXmlErr + "duplicate direct <data> block in <file>");
}

TEST(TocFields, NestedElementInsideAFieldFails) {
    EXPECT_EQ(error_of_file("<name>a<b/></name>"), kXmlErr + "nested element inside scalar file metadata");
    EXPECT_EQ(error_of_file("<type><x>file</x></type>"), kXmlErr + "nested element inside scalar file metadata");
}

TEST(TocFields, FieldsOutOfPlaceAreIgnored) {
    // offset directly in <file>, name inside <data>, encoding without <data>: none of them count.
    auto r = parse_xml(one_file("<name>a</name><type>file</type><offset>x</offset><encoding/>"
                                "<data><name>zz</name><type>bad</type><offset>1</offset><length>2</length><size>3</size></data>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].name, "a");
    EXPECT_EQ((*r)[0].data->size, 3u);
}

TEST(TocFields, EncodingNeedsStyle) {
    EXPECT_EQ(error_of_file("<name>a</name><type>file</type><data><encoding/></data>"),
              kXmlErr + "file data <encoding> is missing its style attribute");
    auto r = parse_xml(one_file("<name>a</name><type>file</type><data><offset>0</offset><length>0</length><size>0</size>"
                                "<encoding style=\" application/x-gzip\">ignored text<x/></encoding></data>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].data->encoding, " application/x-gzip");  // exactly as given
}

TEST(TocFields, AttributesAreUnescaped) {
    auto r = parse_xml(toc_doc("<file id=\"&#x31;2\"><name>a</name><type>file</type><data><offset>0</offset>"
                               "<length>0</length><size>0</size><encoding style=\"a&amp;b\"/></data></file>"));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ((*r)[0].id, 12u);
    EXPECT_EQ((*r)[0].data->encoding, "a&b");
}

TEST(TocFields, UndefinedEntitiesFailAsInvalidText) {
    EXPECT_EQ(parse_error(toc_doc("<junk>&foo;</junk>")).rfind(kXmlErr + "invalid XML text: ", 0), 0u);
    EXPECT_EQ(parse_error(one_file("<name>&foo;</name><type>file</type>")).rfind(kXmlErr + "invalid XML text: ", 0), 0u);
    // Entities a document type declares are not expanded either.
    const std::string doc = "<!DOCTYPE xar [<!ENTITY e \"x\">]><xar><toc><file><name>&e;</name><type>file</type></file></toc></xar>";
    EXPECT_EQ(parse_error(doc).rfind(kXmlErr + "invalid XML text: ", 0), 0u) << parse_error(doc);
}

TEST(TocFields, EntityExpansionBombIsRefused) {
    std::string doc = "<!DOCTYPE xar [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    char prev = 'a';
    for (char c = 'b'; c <= 'k'; ++c) {
        doc += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i) doc += std::string("&") + prev + ";";
        doc += "\">";
        prev = c;
    }
    doc += "]><xar><toc><file id=\"&k;\"/></toc></xar>";
    EXPECT_NE(parse_error(doc), "ok");
}

TEST(TocEntries, RequiredMetadataInOrder) {
    EXPECT_EQ(parse_error(toc_doc("<file id=\"1\"/>")), kXmlErr + "empty <file> is missing required metadata");
    EXPECT_EQ(error_of_file(""), kXmlErr + "file is missing a non-empty direct <name>");
    EXPECT_EQ(error_of_file("<name></name><type>file</type>"), kXmlErr + "file is missing a non-empty direct <name>");
    EXPECT_EQ(error_of_file("<name>a</name>"), kXmlErr + "file is missing a direct <type>");
    EXPECT_EQ(error_of_file("<name>a</name><type/>"), kXmlErr + "unsupported file <type> value \"\"");
    EXPECT_EQ(error_of_file("<name>a</name><type> pipe </type>"), kXmlErr + "unsupported file <type> value \"pipe\"");
    EXPECT_EQ(error_of_file("<name>a</name><type>File</type>"), kXmlErr + "unsupported file <type> value \"File\"");
    EXPECT_EQ(error_of_file("<name>a</name><type>symlink</type>"), kXmlErr + "symlink is missing a non-empty direct <link>");
    EXPECT_EQ(error_of_file("<name>a</name><type>symlink</type><link></link>"),
              kXmlErr + "symlink is missing a non-empty direct <link>");
    const std::string t = "<name>a</name><type>file</type>";
    EXPECT_EQ(error_of_file(t + "<data/>"), kXmlErr + "file <data> is missing <offset>, <length>, and <size>");
    EXPECT_EQ(error_of_file(t + "<data></data>"), kXmlErr + "file <data> is missing <offset>");
    EXPECT_EQ(error_of_file(t + "<data><offset>1</offset></data>"), kXmlErr + "file <data> is missing <length>");
    EXPECT_EQ(error_of_file(t + "<data><offset>1</offset><length>1</length></data>"), kXmlErr + "file <data> is missing <size>");
}

TEST(TocEntries, LinkIsKeptOnlyForSymlinks) {
    auto r = parse_xml(toc_doc(file_with("<name>f</name><type>file</type><link>x</link>") +
                               file_with("<name>d</name><type>directory</type><link>x</link>") +
                               file_with("<name>l</name><type>symlink</type><link type=\"broken\"> t </link>")));
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_FALSE((*r)[0].link);
    EXPECT_FALSE((*r)[1].link);
    EXPECT_EQ((*r)[2].link, " t ");
}

TEST(TocEntries, FirstFailureWins) {
    // The first file fails at its close; the later one is never looked at.
    EXPECT_EQ(parse_error(toc_doc(file_with("<name>a</name>") + file_with("<type>file</type>"))),
              kXmlErr + "file is missing a direct <type>");
}

TEST(TocLookup, FindByPathTrimsSlashesOnly) {
    auto r = parse_xml(toc_doc("<file><name>a</name><type>directory</type><file><name>b</name><type>file</type></file></file>"
                               "<file><name>a</name><type>file</type></file>"));
    ASSERT_TRUE(r);
    const auto& f = *r;
    EXPECT_EQ(xara::toc::find_by_path(f, "/a/b/"), &f[0]);
    EXPECT_EQ(xara::toc::find_by_path(f, "a/b"), &f[0]);
    EXPECT_EQ(xara::toc::find_by_path(f, "a"), &f[1]);  // the first of two equal paths
    EXPECT_EQ(xara::toc::find_by_path(f, "a//b"), nullptr);
    EXPECT_EQ(xara::toc::find_by_path(f, "./a"), nullptr);
    EXPECT_EQ(xara::toc::find_by_path(f, "A"), nullptr);
    EXPECT_EQ(xara::toc::find_by_path(f, ""), nullptr);
    EXPECT_EQ(xara::toc::find_by_path(f, "///"), nullptr);
}

TEST(TocEntries, HardLinksShareTheOriginalsDataAndSpecialFilesListAsEmptyFiles) {
    auto files = xara::toc::parse_toc_xml(bytes_of(toc_doc(
        "<file id=\"2\"><name>copy</name><type link=\"1\">hardlink</type></file>"
        "<file id=\"1\"><name>f1</name><type link=\"original\">hardlink</type>" +
        data_xml(20, 23, 16, "application/x-gzip") +
        "</file>"
        "<file id=\"3\"><name>fifo</name><type>fifo</type></file>"
        "<file id=\"4\"><name>dev</name><type>character special</type></file>"
        "<file id=\"5\"><name>stray</name><type link=\"99\">hardlink</type></file>")));
    ASSERT_TRUE(files) << files.error().message();
    ASSERT_EQ(files->size(), 5u);
    for (const auto& f : *files) EXPECT_EQ(f.file_type, xara::XarFileType::File) << f.name;
    ASSERT_TRUE((*files)[0].data && (*files)[1].data);
    EXPECT_EQ((*files)[0].data->offset, 20u);
    EXPECT_EQ((*files)[0].data->size, 16u);
    EXPECT_FALSE((*files)[2].data);
    EXPECT_FALSE((*files)[3].data);
    EXPECT_FALSE((*files)[4].data);
}

// An opened XAR archive: header, entries and the byte source holding the heap.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/extract.hpp"
#include "core/io.hpp"
#include "xara/error.hpp"
#include "xara/header.hpp"
#include "xara/toc.hpp"

namespace xara {

using ExtractStats = core::ExtractStats;

class XarArchive {
public:
    // Reads the header and the table of contents from the source, whose
    // current position is taken as archive offset 0.
    static Result<XarArchive> open(std::unique_ptr<core::ByteSource> reader);
    // Opens a file through an 8 KiB buffered reader.  A file that cannot be
    // opened is the Io variant.
    static Result<XarArchive> open_path(const std::string& path);

    // Entries in table-of-contents post-order; parent and children are indices here.
    const std::vector<XarFile>& files() const { return files_; }
    const XarHeader& header() const { return header_; }
    uint64_t heap_start() const { return heap_start_; }

    // toc::find_by_path over this archive's entries.
    const XarFile* find(std::string_view path) const { return toc::find_by_path(files_, path); }

    // Decoded bytes of an entry (none for directories and symlinks).
    Result<uint64_t> read_entry(const XarFile& entry, core::ByteSink& sink);
    Result<std::vector<uint8_t>> read_entry(const XarFile& entry);
    // The same by index; an index past the end is FileNotFound "file index {} out of range".
    Result<std::vector<uint8_t>> read_file(size_t index);

    // Writes the entries at or below a base path ("" or "/" for all) into a
    // directory, parents before children, the base removed from the paths;
    // symbolic links are counted, never created.
    Result<ExtractStats> extract_all(const std::string& dest);
    Result<ExtractStats> extract_path(std::string_view base_path, const std::string& dest);

private:
    XarArchive(std::unique_ptr<core::ByteSource> reader, std::vector<XarFile> files, XarHeader header,
               uint64_t heap_start)
        : reader_(std::move(reader)), files_(std::move(files)), header_(header), heap_start_(heap_start) {}

    std::unique_ptr<core::ByteSource> reader_;
    std::vector<XarFile> files_;
    XarHeader header_;
    uint64_t heap_start_;
};

}  // namespace xara

// Opening a UDIF image and decoding its partitions.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"
#include "udif/error.hpp"
#include "udif/format.hpp"

namespace udif {

// One stored run, read for decoding.
struct ReadBlock {
    std::span<const uint8_t> data;  // the stored bytes
    uint64_t output_offset = 0;     // bytes, relative to the partition start
    uint64_t output_length = 0;
    BlockType type = BlockType::Raw;
};

// An opened image: its trailer, its partition entries, and the source the
// run data is read from.  Every decoding call moves the source's position,
// so a reader serves one call at a time.
class DmgReader {
public:
    // Opens the file read-only behind an 8 KiB buffer.  With `verify_checksums`
    // the data-fork CRC-32 and the master checksum are checked when present.
    static Result<DmgReader> open_with_options(const std::string& path, bool verify_checksums);
    // Builds a reader over an already open source, which it then owns.
    static Result<DmgReader> with_options(std::unique_ptr<core::ByteSource> source, bool verify_checksums);

    // Compares the trailer's master checksum (when present) with the CRC-32
    // of the first four bytes of every block map's checksum, in order.
    static Result<void> verify_master_checksum(const KolyHeader& trailer, const std::vector<PartitionEntry>& partitions);

    const std::vector<PartitionEntry>& partitions() const { return partitions_; }
    const KolyHeader& trailer() const { return trailer_; }
    uint64_t xml_offset() const { return xml_offset_; }
    uint64_t xml_length() const { return xml_length_; }

    // The first entry with this id, or FileNotFound "partition {id}".
    Result<const PartitionEntry*> find_partition(int32_t id) const;
    // Sector count × 512 of the partition with this id.
    Result<uint64_t> partition_size(int32_t id) const;

    // Decodes the partition's runs on the thread pool into a new buffer of
    // exactly partition_size(id) bytes, each run at its own sector whatever
    // the order the runs are listed in.
    Result<std::vector<uint8_t>> decompress_partition_parallel(int32_t id);
    // The same into caller memory of exactly partition_size(id) bytes (any
    // content: every byte is written).
    Result<void> decompress_partition_into(int32_t id, std::span<uint8_t> output);
    // The bytes of decompress_partition_parallel into the sink, in output
    // order: a table that fails there writes nothing.  Runs are decoded on
    // the thread pool in windows of bounded memory; zeros go to the sink as
    // skipped zeros.  Returns the partition's size, the number of bytes
    // written.  Does not flush the sink; after a decoding failure what was
    // written stays there.
    Result<uint64_t> decompress_partition_to(int32_t id, core::ByteSink& sink);
    // The bytes of decompress_partition_parallel into an empty file, decoded
    // on the thread pool in windows of bounded memory, each run written at
    // its place and all-zero blocks left as holes; returns the partition's
    // size, with the file position after the last byte.  After a failure the
    // file's content is unspecified.
    Result<uint64_t> decompress_partition_positional(int32_t id, core::File& file);

    // Id of the largest partition whose name contains "Apple_HFS".
    Result<int32_t> hfs_partition_id() const;
    // Id of the largest HFS+/HFSX/APFS partition, else of the largest one.
    Result<int32_t> main_partition_id() const;
    Result<std::vector<uint8_t>> decompress_main_partition_auto();

private:
    DmgReader() = default;
    // Sector count × 512, refused past the image's own size (see sector_limit_).
    Result<uint64_t> checked_size(const PartitionEntry& entry) const;

    std::vector<PartitionEntry> partitions_;
    std::unique_ptr<core::ByteSource> source_;
    KolyHeader trailer_;
    uint64_t xml_offset_ = 0;
    uint64_t xml_length_ = 0;
    // The most sectors a partition or a run may reach: the trailer's sector
    // count, or for an image that states none, a bound in proportion to its
    // file.  Checked before anything is allocated or written.
    uint64_t sector_limit_ = 0;
};

namespace reader {

// Parses the resource-fork property list (XML, binary or old-style ASCII)
// into its partition entries, in "blkx" order.
Result<std::vector<PartitionEntry>> parse_plist(std::span<const uint8_t> bytes);

// Decodes one stored run into `output` (exactly its output length).  Every
// byte of `output` is written.  ADC runs are refused (Unsupported).
Result<void> decompress_block(const ReadBlock& block, std::span<uint8_t> output);

// LZFSE-decodes `data`, which must yield exactly output.size() bytes.
Result<void> decode_lzfse_exact(std::span<const uint8_t> data, std::span<uint8_t> output);

}  // namespace reader
}  // namespace udif

// A UDIF image held in memory, or with KIV_FUZZ_UDIF_FILE read from a file
// (buffered and positional reads): opened with and without checksums,
// queried, every partition decoded in memory, into a file and streamed, the
// three giving the same bytes or all failing.
#include <cstdlib>
#include <string>
#include <vector>

#include "support.hpp"
#include "udif/udif.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kiv_fuzz;
    const core::File file = KIV_FUZZ_UDIF_FILE ? memory_file({data, size}) : core::File();
    // A fresh source over the image at each call: the bytes, or a file description of its own at offset 0.
    const auto open_source = [&]() -> std::unique_ptr<core::ByteSource> {
        if (!KIV_FUZZ_UDIF_FILE) return std::make_unique<core::MemorySource>(std::vector<uint8_t>(data, data + size));
        auto source = core::FileSource::open("/proc/self/fd/" + std::to_string(file.fd()));
        if (!source) std::abort();
        return std::make_unique<core::FileSource>(std::move(*source));
    };
    // With checksums verified first, as DmgArchive::open does; mutated images
    // rarely pass, so the decoding below runs without.
    (void)udif::DmgReader::with_options(open_source(), true);
    auto reader = udif::DmgReader::with_options(open_source(), false);
    if (!reader) return 0;
    udif::DmgArchive archive(std::move(*reader));
    (void)archive.stats();
    (void)archive.compression_info();
    (void)archive.hfs_partition_id();
    (void)archive.main_partition_id();

    // A partition larger than the image's own sector count must be refused
    // before anything is allocated, so those are decoded whatever they declare.
    const uint64_t sectors = archive.reader().trailer().sector_count;
    const uint64_t image_bytes = sectors > UINT64_MAX / udif::kSectorSize ? UINT64_MAX : sectors * udif::kSectorSize;
    uint64_t budget = 4 * kMaxOutput;
    for (const udif::PartitionInfo& p : archive.partitions()) {
        auto partition_size = archive.partition_size(p.id);
        if (!partition_size) continue;
        if (*partition_size > image_bytes || *partition_size <= std::min(kMaxOutput, budget)) {
            auto bytes = archive.extract_partition(p.id);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
            // Into a file, the partition must read back as it does in memory.
            core::File positioned = memory_file({});
            auto written = archive.extract_partition_to(p.id, positioned);
            if (bytes.has_value() != written.has_value()) std::abort();
            if (bytes) {
                std::vector<uint8_t> back(bytes->size());
                for (size_t at = 0; at < back.size();) {
                    auto n = positioned.pread_some(std::span(back).subspan(at), at);
                    if (!n || *n == 0) std::abort();
                    at += *n;
                }
                if (back != *bytes) std::abort();
            }
            // So must the stream, or fail as memory does.
            core::VecSink streamed;
            auto length = archive.extract_partition_to(p.id, streamed);
            if (bytes.has_value() != length.has_value()) std::abort();
            if (bytes && (streamed.data() != *bytes || *length != bytes->size())) std::abort();
        } else {
            // Too large to hold: streamed only, as far as the budget goes.
            BoundedSink sink(std::min(kMaxOutput, budget));
            (void)archive.extract_partition_to(p.id, sink);
            budget -= sink.written();
        }
        if (budget == 0) break;
    }
    return 0;
}

#include "udif_image.hpp"

#include "support.hpp"
#include "udif/udif.hpp"

namespace kiv_fuzz {

void exercise_image(const std::function<std::unique_ptr<core::ByteSource>()>& open_source) {
    // With checksums verified first, as DmgArchive::open does; mutated images
    // rarely pass, so the decoding below runs without.
    (void)udif::DmgReader::with_options(open_source(), true);
    auto reader = udif::DmgReader::with_options(open_source(), false);
    if (!reader) return;
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
        auto size = archive.partition_size(p.id);
        if (!size) continue;
        if (*size > image_bytes || *size <= std::min(kMaxOutput, budget)) {
            auto bytes = archive.extract_partition(p.id);
            if (bytes) budget -= std::min(budget, uint64_t(bytes->size()));
        }
        BoundedSink sink(std::min(kMaxOutput, budget));
        (void)archive.extract_partition_to(p.id, sink);
        budget -= sink.written();
        if (budget == 0) break;
    }
}

}  // namespace kiv_fuzz

// Opening an image, choosing and decoding its filesystem partition, and the
// filesystem handle's dispatch over HFS+ and APFS volumes.
#include "pipeline/pipeline.hpp"

#include <utility>

#include "core/tempfile.hpp"

namespace kiv {
namespace {

// Streams `fill` into a fresh anonymous temporary file through an 8 KiB
// writer, then hands the file back rewound behind an 8 KiB reader.  On any
// failure the file is simply dropped: it has no name, so nothing remains.
template <class Fill>
Result<std::unique_ptr<core::FileSource>> spool_to_tempfile(Fill&& fill) {
    auto file = core::anonymous_tempfile();
    if (!file) return fail(file.error());
    core::BufferedFileWriter writer(std::move(*file));
    if (auto filled = fill(static_cast<core::ByteSink&>(writer)); !filled) return fail(filled.error());
    auto flushed = writer.into_file();
    if (!flushed) return fail(flushed.error());
    if (auto rewound = flushed->seek(0); !rewound) return fail(rewound.error());
    return std::make_unique<core::FileSource>(std::move(*flushed));
}

}  // namespace

// ---- DmgPipeline ----

Result<DmgPipeline> DmgPipeline::open(const std::string& path) {
    auto reader = udif::DmgReader::open_with_options(path, /*verify_checksums=*/true);
    if (!reader) return fail(reader.error());
    return DmgPipeline(path, udif::DmgArchive(std::move(*reader)));
}

Result<std::unique_ptr<core::ByteSource>> DmgPipeline::decode_partition(int32_t id, ExtractionMode mode) {
    if (mode == ExtractionMode::TempFile) {
        // Runs are decoded on the thread pool a bounded window at a time and
        // written at their places; a failure drops the unnamed file.
        auto file = core::anonymous_tempfile();
        if (!file) return fail(file.error());
        if (auto written = archive_.extract_partition_to(id, *file); !written) return fail(written.error());
        if (auto rewound = file->seek(0); !rewound) return fail(rewound.error());
        return std::unique_ptr<core::ByteSource>(std::make_unique<core::FileSource>(std::move(*file)));
    }
    auto image = archive_.extract_partition(id);
    if (!image) return fail(image.error());
    return std::unique_ptr<core::ByteSource>(std::make_unique<core::MemorySource>(std::move(*image)));
}

Result<HfsHandle> DmgPipeline::open_hfs_with_mode(ExtractionMode mode) {
    auto id = archive_.hfs_partition_id();
    if (!id) return fail(KivError::no_hfs_partition());
    if (mode != ExtractionMode::TempFile) mode = ExtractionMode::InMemory;
    auto source = decode_partition(*id, mode);
    if (!source) return fail(source.error());
    auto volume = hfsplus::HfsVolume::open(std::move(*source));
    if (!volume) return fail(volume.error());
    return HfsHandle(std::move(*volume), mode);
}

Result<ApfsHandle> DmgPipeline::open_apfs_with_mode(ExtractionMode mode) {
    std::optional<udif::PartitionInfo> chosen;
    for (auto& p : partitions())
        if (p.partition_type == udif::PartitionType::Apfs && (!chosen || p.size >= chosen->size)) chosen = p;
    if (!chosen) return fail(KivError::no_apfs_partition());
    if (mode != ExtractionMode::TempFile) mode = ExtractionMode::InMemory;
    auto source = decode_partition(chosen->id, mode);
    if (!source) return fail(source.error());
    auto volume = apfs::ApfsVolume::open(std::move(*source));
    if (!volume) return fail(volume.error());
    return ApfsHandle(std::move(*volume), mode);
}

Result<FilesystemHandle> DmgPipeline::open_filesystem_with_mode(ExtractionMode mode) {
    bool has_hfs = false, has_apfs = false;
    for (const auto& p : partitions()) {
        has_hfs |= p.partition_type == udif::PartitionType::Hfs || p.partition_type == udif::PartitionType::Hfsx;
        has_apfs |= p.partition_type == udif::PartitionType::Apfs;
    }
    // An HFS+ partition that fails to open is the answer: no fallback to APFS.
    if (has_hfs) {
        auto hfs = open_hfs_with_mode(mode);
        if (!hfs) return fail(hfs.error());
        return FilesystemHandle(std::move(*hfs));
    }
    if (has_apfs) {
        auto apfs = open_apfs_with_mode(mode);
        if (!apfs) return fail(apfs.error());
        return FilesystemHandle(std::move(*apfs));
    }
    return fail(KivError::no_filesystem_partition());
}

// ---- Streaming package opens ----

Result<xara::XarArchive> HfsHandle::open_pkg_streaming(std::string_view path) {
    // The file's contents as the volume presents them: a hard link's target,
    // a compressed package decoded.
    if (auto record = volume_.resolve_path_to_file(path); !record) return fail(record.error());
    auto source = spool_to_tempfile([&](core::ByteSink& sink) -> Result<uint64_t> {
        auto copied = volume_.read_file_to(path, sink);
        if (!copied) return fail(copied.error());
        return *copied;
    });
    if (!source) return fail(source.error());
    auto archive = xara::XarArchive::open(std::move(*source));
    if (!archive) return fail(archive.error());
    return std::move(*archive);
}

Result<xara::XarArchive> ApfsHandle::open_pkg_streaming(std::string_view path) {
    auto source = spool_to_tempfile([&](core::ByteSink& sink) -> Result<uint64_t> {
        auto copied = volume_.read_file_to(path, sink);
        if (!copied) return fail(copied.error());
        return *copied;
    });
    if (!source) return fail(source.error());
    auto archive = xara::XarArchive::open(std::move(*source));
    if (!archive) return fail(archive.error());
    return std::move(*archive);
}

// ---- FilesystemHandle ----

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

// Converts each library record of a successful call; wraps the library error.
template <class Out, class In, class Convert>
Result<std::vector<Out>> convert_all(In&& in, Convert convert) {
    if (!in) return fail(in.error());
    std::vector<Out> out;
    out.reserve(in->size());
    for (const auto& item : *in) out.push_back(convert(item));
    return out;
}

}  // namespace

HfsHandle* FilesystemHandle::hfs() {
    auto* boxed = std::get_if<std::unique_ptr<HfsHandle>>(&handle_);
    return boxed ? boxed->get() : nullptr;
}

ApfsHandle* FilesystemHandle::apfs() { return std::get_if<ApfsHandle>(&handle_); }

FsType FilesystemHandle::fs_type() const { return handle_.index() == 0 ? FsType::HfsPlus : FsType::Apfs; }

ExtractionMode FilesystemHandle::mode() const {
    return std::visit(Overload{[](const std::unique_ptr<HfsHandle>& h) { return h->mode(); },
                               [](const ApfsHandle& h) { return h.mode(); }},
                      handle_);
}

FsVolumeInfo FilesystemHandle::volume_info() const {
    return std::visit(Overload{[](const std::unique_ptr<HfsHandle>& h) { return volume_info_of(h->volume()); },
                               [](const ApfsHandle& h) { return volume_info_of(h.volume()); }},
                      handle_);
}

Result<std::vector<FsDirEntry>> FilesystemHandle::list_directory(std::string_view path) {
    if (auto* h = hfs())
        return convert_all<FsDirEntry>(h->volume().list_directory(path),
                                       [](const hfsplus::DirEntry& e) { return to_fs_dir_entry(e); });
    return convert_all<FsDirEntry>(apfs()->volume().list_directory(path),
                                   [](const apfs::DirEntry& e) { return to_fs_dir_entry(e); });
}

Result<FsFileStat> FilesystemHandle::stat(std::string_view path) {
    if (auto* h = hfs()) {
        auto s = h->volume().stat(path);
        if (!s) return fail(s.error());
        return to_fs_file_stat(*s);
    }
    auto s = apfs()->volume().stat(path);
    if (!s) return fail(s.error());
    return to_fs_file_stat(*s);
}

Result<std::vector<FsWalkEntry>> FilesystemHandle::walk() {
    if (auto* h = hfs())
        return convert_all<FsWalkEntry>(h->volume().walk(),
                                        [](const hfsplus::WalkEntry& e) { return to_fs_walk_entry(e); });
    return convert_all<FsWalkEntry>(apfs()->volume().walk(),
                                    [](const apfs::WalkEntry& e) { return to_fs_walk_entry(e); });
}

Result<bool> FilesystemHandle::exists(std::string_view path) {
    if (auto* h = hfs()) return path_exists(h->volume(), path);
    return path_exists(apfs()->volume(), path);
}

Result<std::vector<uint8_t>> FilesystemHandle::read_file(std::string_view path) {
    if (auto* h = hfs()) {
        auto bytes = h->volume().read_file(path);
        if (!bytes) return fail(bytes.error());
        return std::move(*bytes);
    }
    auto bytes = apfs()->volume().read_file(path);
    if (!bytes) return fail(bytes.error());
    return std::move(*bytes);
}

Result<xara::XarArchive> FilesystemHandle::open_pkg(std::string_view path) {
    auto bytes = read_file(path);
    if (!bytes) return fail(bytes.error());
    auto archive = xara::XarArchive::open(std::make_unique<core::MemorySource>(std::move(*bytes)));
    if (!archive) return fail(archive.error());
    return std::move(*archive);
}

Result<xara::XarArchive> FilesystemHandle::open_pkg_streaming(std::string_view path) {
    if (auto* h = hfs()) return h->open_pkg_streaming(path);
    return apfs()->open_pkg_streaming(path);
}

}  // namespace kiv

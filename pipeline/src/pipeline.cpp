// Opening an image, choosing and decoding its filesystem partition, and the
// filesystem handle's dispatch over HFS+ and APFS volumes.
#include "pipeline/pipeline.hpp"

#include <type_traits>
#include <utility>

#include "core/tempfile.hpp"
#include "core/try.hpp"

namespace kiv {
namespace {

// Streams `fill` into a fresh anonymous temporary file through an 8 KiB
// writer, then hands the file back rewound behind an 8 KiB reader.  On any
// failure the file is simply dropped: it has no name, so nothing remains.
template <class Fill>
Result<std::unique_ptr<core::FileSource>> spool_to_tempfile(Fill&& fill) {
    auto file = KIV_TRY(core::anonymous_tempfile());
    core::BufferedFileWriter writer(std::move(file));
    KIV_TRY(fill(static_cast<core::ByteSink&>(writer)));
    auto flushed = KIV_TRY(writer.into_file());
    KIV_TRY(flushed.seek(0));
    return std::make_unique<core::FileSource>(std::move(flushed));
}

}  // namespace

// ---- DmgPipeline ----

Result<DmgPipeline> DmgPipeline::open(const std::string& path) {
    auto reader = KIV_TRY(udif::DmgReader::open_with_options(path, /*verify_checksums=*/true));
    return DmgPipeline(path, udif::DmgArchive(std::move(reader)));
}

Result<std::unique_ptr<core::ByteSource>> DmgPipeline::decode_partition(int32_t id, ExtractionMode mode) {
    if (mode == ExtractionMode::TempFile) {
        // Runs are decoded on the thread pool a bounded window at a time and
        // written at their places; a failure drops the unnamed file.
        auto file = KIV_TRY(core::anonymous_tempfile());
        KIV_TRY(archive_.extract_partition_to(id, file));
        KIV_TRY(file.seek(0));
        return std::unique_ptr<core::ByteSource>(std::make_unique<core::FileSource>(std::move(file)));
    }
    auto image = KIV_TRY(archive_.extract_partition(id));
    return std::unique_ptr<core::ByteSource>(std::make_unique<core::MemorySource>(std::move(image)));
}

Result<HfsHandle> DmgPipeline::open_hfs_with_mode(ExtractionMode mode) {
    auto id = archive_.hfs_partition_id();
    if (!id) return fail(KivError::no_hfs_partition());
    if (mode != ExtractionMode::TempFile) mode = ExtractionMode::InMemory;
    auto source = KIV_TRY(decode_partition(*id, mode));
    core::ByteSource* partition = source.get();
    auto volume = KIV_TRY(hfsplus::HfsVolume::open(std::move(source)));
    return HfsHandle(std::move(volume), mode, partition);
}

Result<ApfsHandle> DmgPipeline::open_apfs_with_mode(ExtractionMode mode) {
    std::optional<udif::PartitionInfo> chosen;
    for (auto& p : partitions())
        if (p.partition_type == udif::PartitionType::Apfs && (!chosen || p.size >= chosen->size)) chosen = p;
    if (!chosen) return fail(KivError::no_apfs_partition());
    if (mode != ExtractionMode::TempFile) mode = ExtractionMode::InMemory;
    auto source = KIV_TRY(decode_partition(chosen->id, mode));
    core::ByteSource* partition = source.get();
    auto volume = KIV_TRY(apfs::ApfsVolume::open(std::move(source)));
    return ApfsHandle(std::move(volume), mode, partition);
}

Result<FilesystemHandle> DmgPipeline::open_filesystem_with_mode(ExtractionMode mode) {
    bool has_hfs = false, has_apfs = false;
    for (const auto& p : partitions()) {
        has_hfs |= p.partition_type == udif::PartitionType::Hfs || p.partition_type == udif::PartitionType::Hfsx;
        has_apfs |= p.partition_type == udif::PartitionType::Apfs;
    }
    // An HFS+ partition that fails to open is the answer: no fallback to APFS.
    if (has_hfs) {
        auto hfs = KIV_TRY(open_hfs_with_mode(mode));
        return FilesystemHandle(std::move(hfs));
    }
    if (has_apfs) {
        auto apfs = KIV_TRY(open_apfs_with_mode(mode));
        return FilesystemHandle(std::move(apfs));
    }
    return fail(KivError::no_filesystem_partition());
}

// ---- Streaming package opens ----

template <class Volume>
Result<xara::XarArchive> VolumeHandle<Volume>::open_pkg_streaming(std::string_view path) {
    // An HFS+ path is checked before anything is spooled.
    if constexpr (std::is_same_v<Volume, hfsplus::HfsVolume>) KIV_TRY(volume_.resolve_path_to_file(path));
    // The file's contents as the volume presents them: a hard link's target,
    // a compressed package decoded.
    auto source = KIV_TRY(spool_to_tempfile([&](core::ByteSink& sink) -> Result<uint64_t> {
        return volume_.read_file_to(path, sink);
    }));
    return xara::XarArchive::open(std::move(source));
}

template class VolumeHandle<hfsplus::HfsVolume>;
template class VolumeHandle<apfs::ApfsVolume>;

// ---- FilesystemHandle ----

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

// Each record converted with `convert`.
template <class In, class Convert>
auto convert_all(const std::vector<In>& in, Convert convert) {
    std::vector<decltype(convert(in.front()))> out;
    out.reserve(in.size());
    for (const auto& item : in) out.push_back(convert(item));
    return out;
}

}  // namespace

template <class F>
auto FilesystemHandle::with_volume(F&& f) {
    return std::visit(Overload{[&](std::unique_ptr<HfsHandle>& h) { return f(h->volume()); },
                               [&](ApfsHandle& h) { return f(h.volume()); }},
                      handle_);
}

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
    return with_volume([&](auto& volume) -> Result<std::vector<FsDirEntry>> {
        return convert_all(KIV_TRY(volume.list_directory(path)), [](const auto& e) { return to_fs_dir_entry(e); });
    });
}

Result<FsFileStat> FilesystemHandle::stat(std::string_view path) {
    return with_volume([&](auto& volume) -> Result<FsFileStat> { return to_fs_file_stat(KIV_TRY(volume.stat(path))); });
}

Result<std::vector<FsWalkEntry>> FilesystemHandle::walk() {
    return with_volume([&](auto& volume) -> Result<std::vector<FsWalkEntry>> {
        return convert_all(KIV_TRY(volume.walk()), [](const auto& e) { return to_fs_walk_entry(e); });
    });
}

Result<bool> FilesystemHandle::exists(std::string_view path) {
    return with_volume([&](auto& volume) -> Result<bool> { return KIV_TRY(volume.exists(path)); });
}

Result<std::vector<uint8_t>> FilesystemHandle::read_file(std::string_view path) {
    return with_volume([&](auto& volume) -> Result<std::vector<uint8_t>> { return volume.read_file(path); });
}

Result<uint64_t> FilesystemHandle::read_file_to(std::string_view path, core::ByteSink& sink) {
    return with_volume([&](auto& volume) -> Result<uint64_t> { return volume.read_file_to(path, sink); });
}

Result<xara::XarArchive> FilesystemHandle::open_pkg(std::string_view path) {
    auto bytes = KIV_TRY(read_file(path));
    return xara::XarArchive::open(std::make_unique<core::MemorySource>(std::move(bytes)));
}

Result<xara::XarArchive> FilesystemHandle::open_pkg_streaming(std::string_view path) {
    if (auto* h = hfs()) return h->open_pkg_streaming(path);
    return apfs()->open_pkg_streaming(path);
}

}  // namespace kiv

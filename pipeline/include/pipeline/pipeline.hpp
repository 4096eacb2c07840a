// The chain disk image → partition → volume → files and packages → payload.
//
//   auto dmg = kiv::DmgPipeline::open("Installer.dmg");
//   auto fs = dmg->open_filesystem();                 // decoded into an anonymous temp file
//   auto pkg = fs->open_pkg("/Install.pkg");
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "apfs/apfs.hpp"
#include "hfsplus/hfsplus.hpp"
#include "pbzx/lib.hpp"
#include "pipeline/error.hpp"
#include "pipeline/records.hpp"
#include "udif/archive.hpp"
#include "xara/archive.hpp"

namespace kiv {

// Where a decoded partition is kept.  Any value other than TempFile is taken as InMemory.
enum class ExtractionMode : uint8_t { TempFile = 0, InMemory = 1 };

// A volume over its decoded partition: an anonymous temporary file behind an
// 8 KiB buffer, or the partition bytes in memory.  The volume owns its
// source, so the handle outlives the pipeline that made it.
template <class Volume>
class VolumeHandle {
public:
    // `partition` is the source the volume was opened on (the volume owns it).
    VolumeHandle(Volume volume, ExtractionMode mode, core::ByteSource* partition = nullptr)
        : volume_(std::move(volume)), mode_(mode), partition_(partition) {}

    ExtractionMode mode() const { return mode_; }
    Volume& volume() { return volume_; }
    const Volume& volume() const { return volume_; }
    // The decoded partition, for volumes of its own on other threads; nullptr when unknown.
    core::ByteSource* partition() const { return partition_; }

    // Copies the file's contents into an anonymous temporary file and opens
    // it as an archive; the archive owns the file.
    Result<xara::XarArchive> open_pkg_streaming(std::string_view path);

private:
    Volume volume_;
    ExtractionMode mode_;
    core::ByteSource* partition_;
};

using HfsHandle = VolumeHandle<hfsplus::HfsVolume>;
// The first volume of an APFS container.
using ApfsHandle = VolumeHandle<apfs::ApfsVolume>;

// One interface over an HFS+ or APFS volume.  Move-only; serves one call at a time.
class FilesystemHandle {
public:
    explicit FilesystemHandle(HfsHandle hfs) : handle_(std::make_unique<HfsHandle>(std::move(hfs))) {}
    explicit FilesystemHandle(ApfsHandle apfs) : handle_(std::move(apfs)) {}
    FilesystemHandle(FilesystemHandle&&) noexcept = default;
    FilesystemHandle& operator=(FilesystemHandle&&) noexcept = default;

    FsType fs_type() const;
    ExtractionMode mode() const;
    FsVolumeInfo volume_info() const;
    // Paths are slash-separated; empty components are ignored.
    Result<std::vector<FsDirEntry>> list_directory(std::string_view path);
    Result<FsFileStat> stat(std::string_view path);
    // Every entry, pre-order, paths rooted at "/".
    Result<std::vector<FsWalkEntry>> walk();
    // False only for the volume's file-not-found error; other errors fail.
    Result<bool> exists(std::string_view path);
    Result<std::vector<uint8_t>> read_file(std::string_view path);
    // Streams the file's contents into `sink` (not flushed); returns the count.
    Result<uint64_t> read_file_to(std::string_view path, core::ByteSink& sink);
    // The package read whole into memory.
    Result<xara::XarArchive> open_pkg(std::string_view path);
    // The package copied into an anonymous temporary file (memory use independent of its size).
    Result<xara::XarArchive> open_pkg_streaming(std::string_view path);
    // Copies the subtree at `base_path` ("/" for the whole volume) below `dest`.
    // Regular files and directories are written; symbolic links are counted only.
    Result<ExtractStats> extract_path(std::string_view base_path, const std::filesystem::path& dest);

private:
    // The HFS+ or APFS handle, or nullptr.
    HfsHandle* hfs();
    ApfsHandle* apfs();
    // f(volume) for the volume of either kind; both calls return one type.
    template <class F>
    auto with_volume(F&& f);

    std::variant<std::unique_ptr<HfsHandle>, ApfsHandle> handle_;
};

// One opened UDIF image.  Every filesystem open decodes the partition again;
// handles share nothing with the pipeline or with each other.
class DmgPipeline {
public:
    // Opens the image with checksum verification; a failure is KivError::Dmg.
    static Result<DmgPipeline> open(const std::string& path);
    DmgPipeline(DmgPipeline&&) noexcept = default;
    DmgPipeline& operator=(DmgPipeline&&) noexcept = default;

    const std::string& path() const { return path_; }
    udif::DmgArchive& archive() { return archive_; }
    std::vector<udif::PartitionInfo> partitions() const { return archive_.partitions(); }

    // An HFS+/HFSX partition when there is one (even if it fails to open),
    // else an APFS partition, else NoFilesystemPartition.
    Result<FilesystemHandle> open_filesystem() { return open_filesystem_with_mode(ExtractionMode::TempFile); }
    Result<FilesystemHandle> open_filesystem_with_mode(ExtractionMode mode);
    // The largest partition named "Apple_HFS…" (the later on ties).
    Result<HfsHandle> open_hfs_with_mode(ExtractionMode mode);
    // The largest partition typed Apfs (the later on ties).
    Result<ApfsHandle> open_apfs_with_mode(ExtractionMode mode);

private:
    DmgPipeline(std::string path, udif::DmgArchive archive) : path_(std::move(path)), archive_(std::move(archive)) {}
    // The partition decoded into the mode's backing store, as a byte source at offset 0.
    Result<std::unique_ptr<core::ByteSource>> decode_partition(int32_t id, ExtractionMode mode);

    std::string path_;
    udif::DmgArchive archive_;
};

namespace pipeline {

// Paths (rooted at "/") of the regular files whose name ends in ".pkg", in walk order.
Result<std::vector<std::string>> find_packages(const std::string& dmg_path);
// The decoded PBZX Payload of a package in the image: of `component`, or the
// top-level Payload without one.
Result<pbzx::Archive> extract_pkg_payload(const std::string& dmg_path, const std::string& pkg_path,
                                          std::optional<std::string> component);
// A relative path without root or "." components; ".." or nothing left is InvalidPath.
Result<std::filesystem::path> sanitize_path(std::string_view path);
// The part of `path` below `base` ("" when path is not strictly below base;
// the whole path when base is empty).
std::string_view strip_base_prefix(std::string_view path, std::string_view base);

}  // namespace pipeline
}  // namespace kiv

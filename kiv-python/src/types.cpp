#include "types.hpp"


#include <nanobind/stl/optional.h>

#include "common.hpp"

namespace kiv_python {

double compression_ratio(uint64_t compressed, uint64_t uncompressed) {
    if (uncompressed == 0) return 1.0;
    return double(compressed) / double(uncompressed);
}

namespace {

// Getter-only attributes; strings go through py_str so that any bytes survive.
template <class C, class T>
void ro(nb::class_<C>& cls, const char* name, T C::*member) {
    if constexpr (std::is_same_v<T, std::string>) {
        cls.def_prop_ro(name, [member](const C& self) { return py_str(self.*member); });
    } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
        cls.def_prop_ro(name, [member](const C& self) -> nb::object {
            if (!(self.*member)) return nb::none();
            return py_str(*(self.*member));
        });
    } else {
        cls.def_prop_ro(name, [member](const C& self) { return self.*member; });
    }
}

}  // namespace

void register_value_classes(nb::module_& m) {
    {
        nb::class_<PyPartitionInfo> c(m, "PartitionInfo");
        ro(c, "name", &PyPartitionInfo::name);
        ro(c, "id", &PyPartitionInfo::id);
        ro(c, "sectors", &PyPartitionInfo::sectors);
        ro(c, "size", &PyPartitionInfo::size);
        ro(c, "compressed_size", &PyPartitionInfo::compressed_size);
        ro(c, "partition_type", &PyPartitionInfo::partition_type);
        c.def("__repr__", [](const PyPartitionInfo& p) {
            return py_str(cat("PartitionInfo(name=", debug_quote(p.name), ", id=", p.id, ", size=", p.size, ", type=", debug_quote(p.partition_type), ")"));
        });
    }
    {
        nb::class_<PyDirEntry> c(m, "DirEntry");
        ro(c, "name", &PyDirEntry::name);
        ro(c, "kind", &PyDirEntry::kind);
        ro(c, "size", &PyDirEntry::size);
        c.def("__repr__", [](const PyDirEntry& e) {
            return py_str(cat("DirEntry(name=", debug_quote(e.name), ", kind=", debug_quote(e.kind), ", size=", e.size, ")"));
        });
    }
    {
        nb::class_<PyFileStat> c(m, "FileStat");
        ro(c, "fs_type", &PyFileStat::fs_type);
        ro(c, "id", &PyFileStat::id);
        ro(c, "kind", &PyFileStat::kind);
        ro(c, "size", &PyFileStat::size);
        ro(c, "uid", &PyFileStat::uid);
        ro(c, "gid", &PyFileStat::gid);
        ro(c, "mode", &PyFileStat::mode);
        ro(c, "create_time", &PyFileStat::create_time);
        ro(c, "modify_time", &PyFileStat::modify_time);
        ro(c, "nlink", &PyFileStat::nlink);
        ro(c, "data_fork_extents", &PyFileStat::data_fork_extents);
        ro(c, "resource_fork_size", &PyFileStat::resource_fork_size);
        c.def("__repr__", [](const PyFileStat& s) {
            return py_str(cat("FileStat(kind=", debug_quote(s.kind), ", size=", s.size, ", mode=", octal(s.mode), ")"));
        });
    }
    {
        nb::class_<PyVolumeInfo> c(m, "VolumeInfo");
        ro(c, "fs_type", &PyVolumeInfo::fs_type);
        ro(c, "block_size", &PyVolumeInfo::block_size);
        ro(c, "file_count", &PyVolumeInfo::file_count);
        ro(c, "directory_count", &PyVolumeInfo::directory_count);
        ro(c, "name", &PyVolumeInfo::name);
        ro(c, "symlink_count", &PyVolumeInfo::symlink_count);
        ro(c, "total_blocks", &PyVolumeInfo::total_blocks);
        ro(c, "free_blocks", &PyVolumeInfo::free_blocks);
        ro(c, "version", &PyVolumeInfo::version);
        ro(c, "is_hfsx", &PyVolumeInfo::is_hfsx);
        c.def("__repr__", [](const PyVolumeInfo& v) {
            return py_str(cat("VolumeInfo(fs_type=", debug_quote(v.fs_type), ", block_size=", v.block_size, ", files=", v.file_count, ", dirs=", v.directory_count, ")"));
        });
    }
    {
        nb::class_<PyWalkEntry> c(m, "WalkEntry");
        ro(c, "path", &PyWalkEntry::path);
        ro(c, "name", &PyWalkEntry::name);
        ro(c, "kind", &PyWalkEntry::kind);
        ro(c, "size", &PyWalkEntry::size);
        c.def("__repr__", [](const PyWalkEntry& e) {
            return py_str(cat("WalkEntry(path=", debug_quote(e.path), ", kind=", debug_quote(e.kind), ", size=", e.size, ")"));
        });
    }
    {
        nb::class_<PyFileEntry> c(m, "FileEntry");
        ro(c, "path", &PyFileEntry::path);
        ro(c, "size", &PyFileEntry::size);
        ro(c, "mode", &PyFileEntry::mode);
        ro(c, "mtime", &PyFileEntry::mtime);
        ro(c, "uid", &PyFileEntry::uid);
        ro(c, "gid", &PyFileEntry::gid);
        ro(c, "is_dir", &PyFileEntry::is_dir);
        ro(c, "is_symlink", &PyFileEntry::is_symlink);
        ro(c, "link_target", &PyFileEntry::link_target);
        c.def("__repr__", [](const PyFileEntry& e) {
            const char* kind = e.is_dir ? "dir" : e.is_symlink ? "symlink" : "file";
            return py_str(cat("FileEntry(path=", debug_quote(e.path), ", kind=", debug_quote(kind), ", size=", e.size, ")"));
        });
    }
    {
        nb::class_<PyCompressionInfo> c(m, "CompressionInfo");
        ro(c, "zero_fill_blocks", &PyCompressionInfo::zero_fill_blocks);
        ro(c, "raw_blocks", &PyCompressionInfo::raw_blocks);
        ro(c, "zlib_blocks", &PyCompressionInfo::zlib_blocks);
        ro(c, "bzip2_blocks", &PyCompressionInfo::bzip2_blocks);
        ro(c, "lzfse_blocks", &PyCompressionInfo::lzfse_blocks);
        ro(c, "xz_blocks", &PyCompressionInfo::xz_blocks);
        ro(c, "adc_blocks", &PyCompressionInfo::adc_blocks);
        c.def("__repr__", [](const PyCompressionInfo& i) {
            return py_str(cat("CompressionInfo(zlib=", i.zlib_blocks, ", bzip2=", i.bzip2_blocks, ", lzfse=", i.lzfse_blocks, ", xz=", i.xz_blocks, ", raw=", i.raw_blocks, ", zero=", i.zero_fill_blocks, ")"));
        });
    }
    {
        nb::class_<PyDmgStats> c(m, "DmgStats");
        ro(c, "version", &PyDmgStats::version);
        ro(c, "sector_count", &PyDmgStats::sector_count);
        ro(c, "partition_count", &PyDmgStats::partition_count);
        ro(c, "total_uncompressed", &PyDmgStats::total_uncompressed);
        ro(c, "total_compressed", &PyDmgStats::total_compressed);
        ro(c, "data_fork_length", &PyDmgStats::data_fork_length);
        ro(c, "compression_ratio", &PyDmgStats::compression_ratio);
        ro(c, "space_savings", &PyDmgStats::space_savings);
        c.def("__repr__", [](const PyDmgStats& s) {
            return py_str(cat("DmgStats(partitions=", s.partition_count, ", uncompressed=", s.total_uncompressed, ", compressed=", s.total_compressed, ", ratio=", fixed2(s.compression_ratio), ")"));
        });
    }
    {
        nb::class_<PyXarFile> c(m, "XarFile");
        ro(c, "id", &PyXarFile::id);
        ro(c, "name", &PyXarFile::name);
        ro(c, "path", &PyXarFile::path);
        ro(c, "file_type", &PyXarFile::file_type);
        ro(c, "link", &PyXarFile::link);
        ro(c, "size", &PyXarFile::size);
        ro(c, "compressed_size", &PyXarFile::compressed_size);
        c.def("__repr__", [](const PyXarFile& f) {
            return py_str(cat("XarFile(name=", debug_quote(f.name), ", path=", debug_quote(f.path), ", type=", debug_quote(f.file_type), ")"));
        });
    }
    {
        nb::class_<PyChunkInfo> c(m, "ChunkInfo");
        ro(c, "index", &PyChunkInfo::index);
        ro(c, "offset", &PyChunkInfo::offset);
        ro(c, "compressed_size", &PyChunkInfo::compressed_size);
        ro(c, "uncompressed_size", &PyChunkInfo::uncompressed_size);
        ro(c, "is_compressed", &PyChunkInfo::is_compressed);
        ro(c, "compression_ratio", &PyChunkInfo::compression_ratio);
        c.def("__repr__", [](const PyChunkInfo& i) {
            return py_str(cat("ChunkInfo(index=", i.index, ", compressed=", i.compressed_size, ", uncompressed=", i.uncompressed_size, ", ratio=", fixed2(i.compression_ratio), ")"));
        });
    }
    {
        nb::class_<PyArchiveStats> c(m, "ArchiveStats");
        ro(c, "chunk_count", &PyArchiveStats::chunk_count);
        ro(c, "compressed_size", &PyArchiveStats::compressed_size);
        ro(c, "uncompressed_size", &PyArchiveStats::uncompressed_size);
        ro(c, "file_count", &PyArchiveStats::file_count);
        ro(c, "directory_count", &PyArchiveStats::directory_count);
        ro(c, "total_file_size", &PyArchiveStats::total_file_size);
        ro(c, "compression_ratio", &PyArchiveStats::compression_ratio);
        ro(c, "space_savings", &PyArchiveStats::space_savings);
        c.def("__repr__", [](const PyArchiveStats& s) {
            return py_str(cat("ArchiveStats(chunks=", s.chunk_count, ", files=", s.file_count, ", dirs=", s.directory_count, ", ratio=", fixed2(s.compression_ratio), ")"));
        });
    }
    {
        nb::class_<PyExtractStats> c(m, "ExtractStats", "Statistics returned after extraction.");
        ro(c, "files", &PyExtractStats::files);
        ro(c, "dirs", &PyExtractStats::dirs);
        ro(c, "symlinks_skipped", &PyExtractStats::symlinks_skipped);
        ro(c, "bytes", &PyExtractStats::bytes);
        c.def("__repr__", [](const PyExtractStats& s) {
            return py_str(cat("ExtractStats(files=", s.files, ", dirs=", s.dirs, ", symlinks_skipped=", s.symlinks_skipped, ", bytes=", s.bytes, ")"));
        });
    }
}

}  // namespace kiv_python

// DmgArchive and DmgBuilder: partition-level access to disk images.

#include <nanobind/nanobind.h>

#include "common.hpp"
#include "dmg.hpp"
#include "error.hpp"
#include "types.hpp"
#include "udif/archive.hpp"
#include "udif/writer.hpp"

namespace kiv_python {
namespace {

using error::unwrap;

struct PyDmgArchive : Closable<udif::DmgArchive> {
    using Closable::Closable;
};

constexpr const char* kCompressionNames[] = {"raw", "zlib", "bzip2", "lzfse"};

udif::CompressionMethod parse_compression(const std::string& name) {
    for (size_t i = 0; i < std::size(kCompressionNames); ++i)
        if (name == kCompressionNames[i]) return udif::CompressionMethod(i);
    raise(PyExc_ValueError,
          cat("invalid compression ", debug_quote(name), ": expected 'raw', 'zlib', 'bzip2', or 'lzfse'"));
}

struct PyDmgBuilder {
    std::optional<uint64_t> chunk_size;
    std::string compression = "zlib";
    std::vector<std::pair<std::string, std::vector<uint8_t>>> partitions;
    uint32_t compression_level = 6;
    bool skip_checksums = false;
    BorrowFlag flag;
};


// Runs a decoding call on the archive with the interpreter lock released.
template <class F>
auto decode(PyDmgArchive& self, F&& call) {
    udif::DmgArchive& archive = self.get("DmgArchive");
    return unwrap(without_gil([&] { return call(archive); }));
}

// Decodes a partition straight into a new bytes object (no zero-fill, no
// copy), with the interpreter lock released for the decoding.  Sizes the
// interpreter cannot allocate go the library's way, which reports them.
nb::bytes extract_bytes(PyDmgArchive& self, udif::Result<int32_t> id) {
    udif::DmgArchive& archive = self.get("DmgArchive");
    int32_t pid = unwrap(std::move(id));
    uint64_t size = unwrap(archive.partition_size(pid));
    PyObject* raw = size <= uint64_t(PY_SSIZE_T_MAX) ? PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)) : nullptr;
    if (!raw) {
        PyErr_Clear();
        return to_bytes(decode(self, [pid](udif::DmgArchive& a) { return a.extract_partition(pid); }));
    }
    nb::bytes out = nb::steal<nb::bytes>(raw);
    std::span<uint8_t> target(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(raw)), size_t(size));
    unwrap(without_gil([&] { return archive.extract_partition_into(pid, target); }));
    return out;
}

// A settable builder property: the value is converted first, then the builder is borrowed.
template <class Convert, class Store>
void settable(nb::class_<PyDmgBuilder>& cls, const char* name, auto get, Convert convert, Store store,
              const char* doc) {
    cls.def_prop_rw(
        name,
        [get](PyDmgBuilder& self) {
            SharedBorrow borrow(self.flag);
            return get(self);
        },
        [convert, store](PyDmgBuilder& self, nb::handle value) {
            auto converted = convert(value);
            ExclusiveBorrow borrow(self.flag);
            store(self, std::move(converted));
        },
        nb::for_getter(doc));
}

}  // namespace

PyPartitionInfo to_value(const udif::PartitionInfo& p) {
    return {p.name, p.id, p.sector_count, p.size, p.compressed_size,
            std::string(udif::partition_type_name(p.partition_type))};
}

void register_dmg_classes(nb::module_& m) {
    nb::class_<PyDmgArchive> archive(
        m, "DmgArchive",
        "Lower-level DMG archive reader.\n\nProvides direct partition access, stats, and compression info.\n\n"
        "Use as a context manager::\n\n    with kiv.DmgArchive.open(\"file.dmg\") as archive:\n"
        "        print(archive.stats)\n        data = archive.extract_partition(0)");
    archive.def_static(
        "open",
        [](nb::handle path_obj) {
            std::string path = arg_path(path_obj, "path");
            return new PyDmgArchive(unwrap(without_gil([&] { return udif::DmgArchive::open(path); })));
        },
        nb::arg("path"), nb::rv_policy::take_ownership, "open(path)\n--\n\nOpen a DMG file.");
    bind_closable(archive, "DmgArchive", [](PyDmgArchive&) { return std::string("DmgArchive(open)"); });
    archive.def_prop_ro(
        "stats",
        [](PyDmgArchive& self) {
            SharedBorrow borrow(self.flag());
            udif::DmgStats s = self.get("DmgArchive").stats();
            double ratio = compression_ratio(s.total_compressed, s.total_uncompressed);
            return PyDmgStats{s.version,          s.sector_count,     s.partition_count, s.total_uncompressed,
                              s.total_compressed, s.data_fork_length, ratio,             (1.0 - ratio) * 100.0};
        },
        "DMG statistics.");
    archive.def_prop_ro(
        "compression_info",
        [](PyDmgArchive& self) {
            SharedBorrow borrow(self.flag());
            udif::CompressionInfo c = self.get("DmgArchive").compression_info();
            return PyCompressionInfo{c.zero_fill_blocks, c.raw_blocks,  c.zlib_blocks, c.bzip2_blocks,
                                     c.lzfse_blocks,     c.xz_blocks,   c.adc_blocks};
        },
        "Compression block counts by type.");
    archive.def_prop_ro(
        "partitions",
        [](PyDmgArchive& self) {
            SharedBorrow borrow(self.flag());
            return to_list<PyPartitionInfo>(self.get("DmgArchive").partitions(),
                                            [](const udif::PartitionInfo& p) { return to_value(p); });
        },
        "List partitions.");
    archive.def(
        "extract_partition",
        [](PyDmgArchive& self, nb::handle id_obj) {
            ExclusiveBorrow borrow(self.flag());
            int32_t id = arg_i32(id_obj, "id");
            return extract_bytes(self, id);
        },
        nb::arg("id"), "extract_partition($self, id)\n--\n\nExtract a partition by ID, returning its data as bytes.");
    archive.def(
        "extract_partition_by_name",
        [](PyDmgArchive& self, nb::handle name_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string name = arg_str(name_obj, "name");
            return extract_bytes(self, self.get("DmgArchive").partition_id_by_name(name));
        },
        nb::arg("name"), "extract_partition_by_name($self, name)\n--\n\nExtract a partition by name, returning its data as bytes.");
    archive.def(
        "extract_partition_to",
        [](PyDmgArchive& self, nb::handle id_obj, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            int32_t id = arg_i32(id_obj, "id");
            std::string path = arg_path(path_obj, "path");
            decode(self, [&](udif::DmgArchive& a) { return a.extract_partition_to_file(id, path); });
        },
        nb::arg("id"), nb::arg("path"), "extract_partition_to($self, id, path)\n--\n\nExtract a partition to a file on disk.");
    archive.def(
        "extract_main_partition",
        [](PyDmgArchive& self) {
            ExclusiveBorrow borrow(self.flag());
            return extract_bytes(self, self.get("DmgArchive").main_partition_id());
        },
        "extract_main_partition($self)\n--\n\nExtract the main partition, returning its data as bytes.");
    archive.def(
        "extract_main_partition_to",
        [](PyDmgArchive& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_path(path_obj, "path");
            decode(self, [&](udif::DmgArchive& a) { return a.extract_main_partition_to_file(path); });
        },
        nb::arg("path"), "extract_main_partition_to($self, path)\n--\n\nExtract the main partition to a file on disk.");

    nb::class_<PyDmgBuilder> builder(
        m, "DmgBuilder",
        "DmgBuilder()\n--\n\nDMG file builder.\n\nExample::\n\n    builder = kiv.DmgBuilder()\n    builder.compression = \"zlib\"\n"
        "    builder.add_partition(\"disk image\", partition_data)\n    builder.build(\"output.dmg\")");
    builder.def(nb::init<>());
    settable(
        builder, "compression", [](PyDmgBuilder& b) { return py_str(b.compression); },
        [](nb::handle v) { return arg_str(v, "value"); },
        [](PyDmgBuilder& b, std::string name) {
            parse_compression(name);
            b.compression = std::move(name);
        },
        "Compression method: \"raw\", \"zlib\", \"bzip2\", or \"lzfse\".");
    settable(
        builder, "compression_level", [](PyDmgBuilder& b) { return nb::int_(b.compression_level); },
        [](nb::handle v) { return arg_u32(v, "value"); },
        [](PyDmgBuilder& b, uint32_t level) { b.compression_level = level; }, "Compression level (0-9).");
    settable(
        builder, "chunk_size",
        [](PyDmgBuilder& b) -> nb::object {
            if (!b.chunk_size) return nb::none();
            return nb::int_(*b.chunk_size);
        },
        [](nb::handle v) { return arg_u64(v, "value"); },
        [](PyDmgBuilder& b, uint64_t size) { b.chunk_size = size; }, "Chunk size in bytes (default: library default).");
    settable(
        builder, "skip_checksums", [](PyDmgBuilder& b) { return nb::bool_(b.skip_checksums); },
        [](nb::handle v) { return arg_bool(v, "value"); },
        [](PyDmgBuilder& b, bool skip) { b.skip_checksums = skip; }, "Whether to skip checksum generation.");
    builder.def(
        "add_partition",
        [](PyDmgBuilder& self, nb::handle name_obj, nb::handle data_obj) {
            ExclusiveBorrow borrow(self.flag);
            std::string name = arg_str(name_obj, "name");
            auto data = arg_bytes(data_obj, "data");
            // Refused now, not when an image is built: the property list could not carry it.
            if (auto fault = udif::name_fault(name))
                raise(PyExc_ValueError, cat("invalid partition name ", core::utf8_lossy(debug_quote(name)), ": ", *fault));
            self.partitions.emplace_back(std::move(name), std::vector<uint8_t>(data.begin(), data.end()));
        },
        nb::arg("name"), nb::arg("data"), "add_partition($self, name, data)\n--\n\nAdd a partition with the given name and data.");
    builder.def(
        "build",
        [](PyDmgBuilder& self, nb::handle path_obj) {
            SharedBorrow borrow(self.flag);
            std::string path = arg_path(path_obj, "path");
            udif::DmgBuilder native;
            native.compression = parse_compression(self.compression);
            native.chunk_size = self.chunk_size.value_or(udif::DmgWriter::kDefaultChunkSize);
            native.level = self.compression_level;
            native.skip_checksums = self.skip_checksums;
            for (const auto& [name, data] : self.partitions) native.add_partition(name, data);
            unwrap(without_gil([&] { return native.build(path); }));
        },
        nb::arg("path"), "build($self, path)\n--\n\nBuild the DMG and write it to the given path.");
    builder.def("__repr__", [](PyDmgBuilder& self) {
        SharedBorrow borrow(self.flag);
        return py_str(cat("DmgBuilder(compression=", debug_quote(self.compression), ", partitions=", self.partitions.size(), ")"));
    });
}

}  // namespace kiv_python

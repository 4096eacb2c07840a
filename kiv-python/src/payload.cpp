// Archive, CpioBuilder and PbzxWriter: decoded payloads and the two writers.
#include <nanobind/nanobind.h>

#include "common.hpp"
#include "error.hpp"
#include "payload.hpp"
#include "pbzx/writer.hpp"
#include "records.hpp"
#include "types.hpp"

namespace kiv_python {

PyFileEntry to_value(const pbzx::FileEntry& e) {
    return {e.path, e.size, e.mode, e.mtime, e.uid, e.gid, e.is_dir, e.is_symlink, e.link_target};
}

namespace {

using error::unwrap;

// A writer that is consumed by finish(): absent once finished.
template <class Native>
struct Finishable {
    std::optional<Native> native;
    BorrowFlag flag;

    Native& get(const char* class_name) {
        if (!native) raise_runtime(cat(class_name, " already finished"));
        return *native;
    }
    Native take(const char* class_name) {
        Native out = std::move(get(class_name));
        native.reset();
        return out;
    }
};

struct PyCpioBuilder : Finishable<pbzx::CpioBuilder> {};
struct PyPbzxWriter : Finishable<pbzx::PbzxWriter> {};

void register_archive(nb::module_& m) {
    nb::class_<PyArchive> cls(
        m, "Archive",
        "PBZX/CPIO payload archive.\n\nProvides access to the decompressed CPIO contents of a PBZX payload.\n\n"
        "Use as a context manager::\n\n    with pkg.payload(\"component.pkg\") as payload:\n"
        "        for f in payload.list():\n            print(f.path, f.size)\n"
        "        data = payload.extract_file(\"./usr/bin/tool\")");
    cls.def_static(
        "open",
        [](nb::handle path_obj) {
            std::string path = arg_path(path_obj, "path");
            return new PyArchive(unwrap(without_gil([&] { return pbzx::Archive::open(path); })));
        },
        nb::arg("path"), nb::rv_policy::take_ownership, "open(path)\n--\n\nOpen a PBZX file from disk.");
    cls.def_static(
        "from_cpio",
        [](nb::handle data_obj) { return new PyArchive(pbzx::Archive::from_cpio(arg_bytes(data_obj, "data"))); },
        nb::arg("data"), nb::rv_policy::take_ownership, "from_cpio(data)\n--\n\nCreate an Archive from raw CPIO data.");
    bind_closable(cls, "Archive",
                  [](PyArchive& self) { return cat("Archive(size=", self.get("Archive").size(), ")"); });
    cls.def(
        "list",
        [](PyArchive& self) {
            SharedBorrow borrow(self.flag());
            return to_list<PyFileEntry>(unwrap(self.get("Archive").list()),
                                        [](const pbzx::FileEntry& e) { return to_value(e); });
        },
        "list($self)\n--\n\nList all file entries in the archive.");
    cls.def(
        "extract_file",
        [](PyArchive& self, nb::handle path_obj) {
            SharedBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return to_bytes(unwrap(self.get("Archive").extract_file(path)));
        },
        nb::arg("path"), "extract_file($self, path)\n--\n\nExtract a single file by path, returning its contents as bytes.");
    auto extract = [](PyArchive& self, const std::string& base, const std::string& dest) {
        pbzx::Archive& archive = self.get("Archive");
        return to_value(unwrap(without_gil([&] { return archive.extract_path(base, dest); })));
    };
    bind_extraction(cls, extract);
    cls.def_prop_ro(
        "decompressed_size",
        [](PyArchive& self) {
            SharedBorrow borrow(self.flag());
            return uint64_t(self.get("Archive").size());
        },
        "Size of the decompressed CPIO data.");
    cls.def(
        "cpio_data",
        [](PyArchive& self) {
            SharedBorrow borrow(self.flag());
            return to_bytes(self.get("Archive").data());
        },
        "cpio_data($self)\n--\n\nGet the raw decompressed CPIO data.");
}

void register_cpio_builder(nb::module_& m) {
    constexpr const char* kName = "CpioBuilder";
    nb::class_<PyCpioBuilder> cls(
        m, "CpioBuilder",
        "CpioBuilder()\n--\n\nBuilder for creating CPIO archives.\n\nExample::\n\n    cpio = kiv.CpioBuilder()\n"
        "    cpio.add_directory(\"./usr/bin\", mode=0o755)\n    cpio.add_file(\"./usr/bin/tool\", tool_data, mode=0o755)\n"
        "    cpio_bytes = cpio.finish()");
    cls.def("__init__", [](PyCpioBuilder* self) { new (self) PyCpioBuilder{pbzx::CpioBuilder{}, {}}; });
    cls.def(
        "add_file",
        [](PyCpioBuilder& self, nb::handle path_obj, nb::handle content_obj, nb::handle mode_obj) {
            ExclusiveBorrow borrow(self.flag);
            std::string path = arg_str(path_obj, "path");
            auto content = arg_bytes(content_obj, "content");
            uint32_t mode = arg_u32(mode_obj, "mode");
            unwrap(self.get(kName).add_file(path, content, mode));
        },
        nb::arg("path"), nb::arg("content"), nb::arg("mode") = nb::int_(420),
        "add_file($self, path, content, mode=420)\n--\n\nAdd a file to the archive.\n\nArgs:\n    path: File path within the archive (e.g. \"./usr/bin/tool\").\n"
        "    content: File content as bytes.\n    mode: Unix file mode (default: 0o644).");
    cls.def(
        "add_directory",
        [](PyCpioBuilder& self, nb::handle path_obj, nb::handle mode_obj) {
            ExclusiveBorrow borrow(self.flag);
            std::string path = arg_str(path_obj, "path");
            uint32_t mode = arg_u32(mode_obj, "mode");
            unwrap(self.get(kName).add_directory(path, mode));
        },
        nb::arg("path"), nb::arg("mode") = nb::int_(493),
        "add_directory($self, path, mode=493)\n--\n\nAdd a directory to the archive.\n\nArgs:\n    path: Directory path within the archive (e.g. \"./usr/bin\").\n"
        "    mode: Unix directory mode (default: 0o755).");
    cls.def(
        "add_symlink",
        [](PyCpioBuilder& self, nb::handle path_obj, nb::handle target_obj, nb::handle mode_obj) {
            ExclusiveBorrow borrow(self.flag);
            std::string path = arg_str(path_obj, "path");
            std::string target = arg_str(target_obj, "target");
            uint32_t mode = arg_u32(mode_obj, "mode");
            unwrap(self.get(kName).add_symlink(path, target, mode));
        },
        nb::arg("path"), nb::arg("target"), nb::arg("mode") = nb::int_(511),
        "add_symlink($self, path, target, mode=511)\n--\n\nAdd a symlink to the archive.\n\nArgs:\n    path: Symlink path within the archive.\n"
        "    target: Symlink target path.\n    mode: Unix mode (default: 0o777).");
    cls.def_prop_ro(
        "len",
        [](PyCpioBuilder& self) {
            ExclusiveBorrow borrow(self.flag);
            return uint64_t(self.get(kName).size());
        },
        "Number of bytes written so far.");
    cls.def(
        "finish",
        [](PyCpioBuilder& self) {
            ExclusiveBorrow borrow(self.flag);
            return to_bytes(self.take(kName).finish());
        },
        "finish($self)\n--\n\nFinalize and return the CPIO archive data.");
    cls.def("__repr__", [](PyCpioBuilder& self) {
        SharedBorrow borrow(self.flag);
        if (!self.native) return py_str("CpioBuilder(finished)");
        return py_str(cat("CpioBuilder(len=", self.native->size(), ")"));
    });
}

void register_pbzx_writer(nb::module_& m) {
    constexpr const char* kName = "PbzxWriter";
    nb::class_<PyPbzxWriter> cls(
        m, "PbzxWriter",
        "PbzxWriter(path, chunk_size=None, compression_level=None)\n--\n\nPBZX archive writer.\n\nExample::\n\n    writer = kiv.PbzxWriter(\"output.pbzx\")\n"
        "    writer.write_cpio(cpio_data)\n    writer.finish()");
    cls.def(
        "__init__",
        [](PyPbzxWriter* self, nb::handle path_obj, nb::handle chunk_obj, nb::handle level_obj) {
            std::string path = arg_path(path_obj, "path");
            uint64_t chunk_size = chunk_obj.is_none() ? pbzx::kDefaultChunkSize : arg_u64(chunk_obj, "chunk_size");
            uint32_t level = level_obj.is_none() ? pbzx::kDefaultLevel : arg_u32(level_obj, "compression_level");
            auto writer = unwrap(pbzx::PbzxWriter::create(path, chunk_size, std::min<uint32_t>(level, 9)));
            new (self) PyPbzxWriter{std::move(writer), {}};
        },
        nb::arg("path"), nb::arg("chunk_size") = nb::none(), nb::arg("compression_level") = nb::none());
    cls.def(
        "write_cpio",
        [](PyPbzxWriter& self, nb::handle data_obj) {
            ExclusiveBorrow borrow(self.flag);
            auto data = arg_bytes(data_obj, "data");
            unwrap(self.get(kName).write_cpio(data));
        },
        nb::arg("data"), "write_cpio($self, data)\n--\n\nWrite CPIO data to the PBZX archive.");
    cls.def_prop_ro(
        "total_written",
        [](PyPbzxWriter& self) {
            ExclusiveBorrow borrow(self.flag);
            return self.get(kName).total_written();
        },
        "Total bytes written so far.");
    cls.def(
        "finish",
        [](PyPbzxWriter& self) {
            ExclusiveBorrow borrow(self.flag);
            pbzx::PbzxWriter writer = self.take(kName);
            unwrap(writer.finish());
        },
        "finish($self)\n--\n\nFinalize the PBZX archive. Must be called when done writing.");
    cls.def("__repr__", [](PyPbzxWriter& self) {
        SharedBorrow borrow(self.flag);
        return py_str(self.native ? "PbzxWriter(open)" : "PbzxWriter(finished)");
    });
}

}  // namespace

void register_payload_classes(nb::module_& m) {
    register_archive(m);
    register_cpio_builder(m);
    register_pbzx_writer(m);
}

}  // namespace kiv_python

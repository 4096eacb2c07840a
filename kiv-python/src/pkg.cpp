// XarArchive: any XAR archive opened from a file path.
#include <nanobind/nanobind.h>

#include "common.hpp"
#include "error.hpp"
#include "types.hpp"
#include "xara/archive.hpp"
#include "xara/extract.hpp"

namespace kiv_python {
namespace {

using error::unwrap;

struct PyXarArchive : Closable<xara::XarArchive> {
    using Closable::Closable;
};

PyExtractStats to_value(const xara::ExtractStats& s) { return {s.files, s.dirs, s.symlinks_skipped, s.bytes}; }

}  // namespace

PyXarFile to_value(const xara::XarFile& f) {
    PyXarFile out{f.id, f.name, f.path, std::string(xara::file_type_name(f.file_type)), f.link, {}, {}};
    if (f.data) {
        out.size = f.data->size;
        out.compressed_size = f.data->length;
    }
    return out;
}

void register_xar_archive(nb::module_& m) {
    nb::class_<PyXarArchive> cls(
        m, "XarArchive",
        "XAR archive reader.\n\nUse as a context manager::\n\n    with kiv.XarArchive.open(\"archive.xar\") as xar:\n"
        "        for f in xar.files:\n            print(f.name, f.path, f.file_type)\n"
        "        data = xar.read_file(0)");
    cls.def_static(
        "open",
        [](nb::handle path_obj) {
            std::string path = arg_str(path_obj, "path");
            auto source = unwrap(core::FileSource::open(path));
            auto archive = unwrap(xara::XarArchive::open(std::make_unique<core::FileSource>(std::move(source))));
            return new PyXarArchive(std::move(archive));
        },
        nb::arg("path"), nb::rv_policy::take_ownership, "Open a XAR archive from a file path.");
    bind_closable(cls, "XarArchive", [](PyXarArchive& self) {
        return cat("XarArchive(files=", self.get("XarArchive").files().size(), ")");
    });
    cls.def_prop_ro(
        "files",
        [](PyXarArchive& self) {
            SharedBorrow borrow(self.flag());
            return to_list<PyXarFile>(self.get("XarArchive").files(),
                                      [](const xara::XarFile& f) { return to_value(f); });
        },
        "List of files in the archive.");
    cls.def(
        "find",
        [](PyXarArchive& self, nb::handle path_obj) -> nb::object {
            SharedBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            const xara::XarFile* found = self.get("XarArchive").find(path);
            if (!found) return nb::none();
            return nb::cast(to_value(*found));
        },
        nb::arg("path"), "Find a file by path.");
    cls.def(
        "read_file",
        [](PyXarArchive& self, nb::handle index_obj) {
            ExclusiveBorrow borrow(self.flag());
            uint64_t index = arg_u64(index_obj, "index");
            xara::XarArchive& archive = self.get("XarArchive");
            if (index >= archive.files().size()) raise(PyExc_IndexError, cat("file index ", index, " out of range"));
            return to_bytes(unwrap(archive.read_entry(archive.files()[size_t(index)])));
        },
        nb::arg("index"), "Read a file's contents by index.");
    auto extract = [](PyXarArchive& self, const std::string& base, const std::string& dest) {
        xara::XarArchive& archive = self.get("XarArchive");
        return to_value(unwrap(without_gil([&] { return xara::extract::extract_inner(archive, base, dest); })));
    };
    bind_extraction(cls, extract);
}

}  // namespace kiv_python

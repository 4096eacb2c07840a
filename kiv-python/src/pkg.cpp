// PkgReader (an installer package opened from a volume) and XarArchive (any
// XAR archive opened from a file path).
#include "pkg.hpp"

#include <nanobind/nanobind.h>

#include "common.hpp"
#include "core/try.hpp"
#include "error.hpp"
#include "payload.hpp"
#include "records.hpp"
#include "types.hpp"
#include "xara/archive.hpp"

namespace kiv_python {
namespace {

using error::unwrap;

struct PyXarArchive : Closable<xara::XarArchive> {
    using Closable::Closable;
};

struct PyPkgReader : Closable<xara::PkgReader> {
    using Closable::Closable;
    static constexpr const char* kName = "PkgReader";
};

// A package document as str, or None when the package lacks it.
nb::object optional_text(xara::Result<std::optional<std::string>>&& text) {
    auto value = unwrap(std::move(text));
    if (!value) return nb::none();
    return py_str(*value);
}

nb::list str_list(const std::vector<std::string>& items) {
    nb::list out;
    for (const auto& s : items) out.append(py_str(s));
    return out;
}

}  // namespace

PyXarFile to_value(const xara::XarFile& f) {
    PyXarFile out{f.id, f.name, f.path, std::string(core::entry_kind_lower_name(f.file_type)), f.link, {}, {}};
    if (f.data) {
        out.size = f.data->size;
        out.compressed_size = f.data->length;
    }
    return out;
}

nb::object make_pkg_reader(xara::PkgReader reader) {
    return nb::cast(new PyPkgReader(std::move(reader)), nb::rv_policy::take_ownership);
}

void register_pkg_reader(nb::module_& m) {
    using P = PyPkgReader;
    nb::class_<P> cls(m, "PkgReader",
                      "macOS PKG package reader.\n\nUse as a context manager::\n\n"
                      "    with fs.open_pkg(\"/path/to/package.pkg\") as pkg:\n        print(pkg.components)\n"
                      "        with pkg.payload(\"component.pkg\") as payload:\n"
                      "            for f in payload.list():\n                print(f.path)");
    bind_closable(cls, P::kName, [](P&) { return std::string("PkgReader(open)"); });
    cls.def_prop_ro(
        "components",
        [](P& self) {
            SharedBorrow borrow(self.flag());
            return str_list(self.get(P::kName).components());
        },
        "List of component package names.");
    cls.def_prop_ro(
        "is_product_package",
        [](P& self) {
            SharedBorrow borrow(self.flag());
            return self.get(P::kName).is_product_package();
        },
        "Whether this is a product (distribution) package.");
    cls.def(
        "list_files",
        [](P& self) {
            SharedBorrow borrow(self.flag());
            return str_list(self.get(P::kName).list_files());
        },
        "list_files($self)\n--\n\nList all file paths in the XAR archive.");
    cls.def(
        "distribution",
        [](P& self) {
            ExclusiveBorrow borrow(self.flag());
            return optional_text(self.get(P::kName).distribution());
        },
        "distribution($self)\n--\n\nGet the distribution XML, if this is a product package.");
    cls.def(
        "package_info",
        [](P& self, nb::handle component_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string component = arg_str(component_obj, "component");
            return optional_text(self.get(P::kName).package_info(component));
        },
        nb::arg("component"), "package_info($self, component)\n--\n\nGet the PackageInfo XML for a component.");
    cls.def(
        "payload_bytes",
        [](P& self, nb::handle component_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string component = arg_str(component_obj, "component");
            return to_bytes(unwrap(self.get(P::kName).payload(component)));
        },
        nb::arg("component"), "payload_bytes($self, component)\n--\n\nExtract the raw payload bytes for a component.");
    cls.def(
        "payload",
        [](P& self, nb::handle component_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string component = arg_str(component_obj, "component");
            xara::PkgReader& reader = self.get(P::kName);
            auto archive = without_gil([&]() -> kiv::Result<pbzx::Archive> {
                auto bytes = KIV_TRY(reader.payload(component));
                core::MemorySource source(std::move(bytes));
                return pbzx::Archive::from_reader(source);
            });
            return new PyArchive(unwrap(std::move(archive)));
        },
        nb::arg("component"), nb::rv_policy::take_ownership,
        "payload($self, component)\n--\n\nExtract the payload for a component, returning an Archive for reading files.");
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
            std::string path = arg_path(path_obj, "path");
            auto source = unwrap(core::FileSource::open(path));
            auto archive = unwrap(xara::XarArchive::open(std::make_unique<core::FileSource>(std::move(source))));
            return new PyXarArchive(std::move(archive));
        },
        nb::arg("path"), nb::rv_policy::take_ownership, "open(path)\n--\n\nOpen a XAR archive from a file path.");
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
        nb::arg("path"), "find($self, path)\n--\n\nFind a file by path.");
    cls.def(
        "read_file",
        [](PyXarArchive& self, nb::handle index_obj) {
            ExclusiveBorrow borrow(self.flag());
            uint64_t index = arg_u64(index_obj, "index");
            xara::XarArchive& archive = self.get("XarArchive");
            if (index >= archive.files().size()) raise(PyExc_IndexError, cat("file index ", index, " out of range"));
            return to_bytes(unwrap(archive.read_entry(archive.files()[size_t(index)])));
        },
        nb::arg("index"), "read_file($self, index)\n--\n\nRead a file's contents by index.");
    auto extract = [](PyXarArchive& self, const std::string& base, const std::string& dest) {
        xara::XarArchive& archive = self.get("XarArchive");
        return to_value(unwrap(without_gil([&] { return archive.extract_path(base, dest); })));
    };
    bind_extraction(cls, extract);
}

}  // namespace kiv_python

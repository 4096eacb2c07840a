// The high-level interface: open, find_packages, extract_pkg_payload,
// DmgPipeline and FilesystemHandle.
#include <nanobind/nanobind.h>

#include "common.hpp"
#include "dmg.hpp"
#include "error.hpp"
#include "payload.hpp"
#include "pkg.hpp"
#include "records.hpp"

namespace kiv_python {
namespace {

using error::unwrap;

struct PyDmgPipeline : Closable<kiv::DmgPipeline> {
    using Closable::Closable;
    static constexpr const char* kName = "DmgPipeline";
};

struct PyFilesystemHandle : Closable<kiv::FilesystemHandle> {
    using Closable::Closable;
    static constexpr const char* kName = "FilesystemHandle";
};

kiv::DmgPipeline open_pipeline(nb::handle path_obj) {
    std::string path = arg_path(path_obj, "path");
    return unwrap(without_gil([&] { return kiv::DmgPipeline::open(path); }));
}

kiv::ExtractionMode parse_mode(nb::handle mode) {
    if (mode.is_none()) return kiv::ExtractionMode::TempFile;
    std::string text = arg_str(mode, "mode");
    if (text == "temp_file") return kiv::ExtractionMode::TempFile;
    if (text == "in_memory") return kiv::ExtractionMode::InMemory;
    raise(PyExc_ValueError, cat("invalid mode ", debug_quote(text), ": expected 'temp_file' or 'in_memory'"));
}

void register_functions(nb::module_& m) {
    m.def(
        "open", [](nb::handle path) { return new PyDmgPipeline(open_pipeline(path)); }, nb::arg("path"),
        nb::rv_policy::take_ownership,
        "open(path)\n--\n\nOpen a DMG file for reading. Use as a context manager.\n\nArgs:\n    path: Path to the DMG file.\n\n"
        "Returns:\n    A DmgPipeline instance.");
    m.def(
        "find_packages",
        [](nb::handle path_obj) {
            std::string path = arg_path(path_obj, "path");
            nb::list out;
            for (const auto& p : unwrap(kiv::pipeline::find_packages(path))) out.append(py_str(p));
            return out;
        },
        nb::arg("path"),
        "find_packages(path)\n--\n\nFind all .pkg files inside a DMG.\n\nArgs:\n    path: Path to the DMG file.\n\n"
        "Returns:\n    List of package file paths found in the DMG.");
    m.def(
        "extract_pkg_payload",
        [](nb::handle dmg_obj, nb::handle pkg_obj, nb::handle component_obj) {
            std::string dmg = arg_path(dmg_obj, "dmg_path");
            std::string pkg = arg_str(pkg_obj, "pkg_path");
            std::string component = arg_str(component_obj, "component");
            return new PyArchive(unwrap(kiv::pipeline::extract_pkg_payload(dmg, pkg, component)));
        },
        nb::arg("dmg_path"), nb::arg("pkg_path"), nb::arg("component"), nb::rv_policy::take_ownership,
        "extract_pkg_payload(dmg_path, pkg_path, component)\n--\n\nExtract a PKG payload from a DMG in one call.\n\nArgs:\n    dmg_path: Path to the DMG file.\n"
        "    pkg_path: Path to the .pkg file inside the DMG filesystem.\n"
        "    component: Component name within the package.\n\n"
        "Returns:\n    An Archive instance for reading the payload contents.");
}

void register_dmg_pipeline(nb::module_& m) {
    using P = PyDmgPipeline;
    nb::class_<P> cls(m, "DmgPipeline",
                      "DmgPipeline(path)\n--\n\nHigh-level pipeline for reading DMG files.\n\nUse as a context manager::\n\n"
                      "    with kiv.open(\"installer.dmg\") as dmg:\n        for p in dmg.partitions:\n"
                      "            print(p.name, p.size)\n        with dmg.filesystem() as fs:\n"
                      "            for entry in fs.list_directory(\"/\"):\n                print(entry.name)");
    cls.def(
        "__init__", [](P* self, nb::handle path) { new (self) P(open_pipeline(path)); }, nb::arg("path"));
    bind_closable(cls, P::kName, [](P&) { return std::string("DmgPipeline(open)"); });
    cls.def_prop_ro(
        "partitions",
        [](P& self) {
            ExclusiveBorrow borrow(self.flag());
            return to_list<PyPartitionInfo>(self.get(P::kName).partitions(),
                                            [](const udif::PartitionInfo& p) { return to_value(p); });
        },
        "List partitions in the DMG.");
    cls.def(
        "filesystem",
        [](P& self, nb::handle mode_obj) {
            ExclusiveBorrow borrow(self.flag());
            kiv::ExtractionMode mode = parse_mode(mode_obj);
            kiv::DmgPipeline& pipeline = self.get(P::kName);
            return new PyFilesystemHandle(
                unwrap(without_gil([&] { return pipeline.open_filesystem_with_mode(mode); })));
        },
        nb::arg("mode") = nb::none(), nb::rv_policy::take_ownership,
        "filesystem($self, mode=None)\n--\n\nOpen the filesystem (auto-detects HFS+/APFS).\n\nArgs:\n"
        "    mode: Extraction mode - \"temp_file\" (default) or \"in_memory\".");
}

void register_filesystem_handle(nb::module_& m) {
    using P = PyFilesystemHandle;
    nb::class_<P> cls(m, "FilesystemHandle",
                      "Handle to an opened filesystem (HFS+ or APFS).\n\nUse as a context manager::\n\n"
                      "    with dmg.filesystem() as fs:\n        for entry in fs.list_directory(\"/\"):\n"
                      "            print(entry.name)");
    bind_closable(cls, P::kName, [](P& self) {
        return cat("FilesystemHandle(", self.get(P::kName).fs_type() == kiv::FsType::HfsPlus ? "HfsPlus" : "Apfs",
                   ", open)");
    });
    cls.def_prop_ro(
        "fs_type",
        [](P& self) {
            SharedBorrow borrow(self.flag());
            return py_str(fs_type_text(self.get(P::kName).fs_type()));
        },
        "The filesystem type: \"hfsplus\" or \"apfs\".");
    cls.def_prop_ro(
        "volume_info",
        [](P& self) {
            SharedBorrow borrow(self.flag());
            return to_value(self.get(P::kName).volume_info());
        },
        "Volume metadata.");
    cls.def(
        "list_directory",
        [](P& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return values_of(unwrap(self.get(P::kName).list_directory(path)));
        },
        nb::arg("path"), "list_directory($self, path)\n--\n\nList entries in a directory.");
    cls.def(
        "read_file",
        [](P& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            kiv::FilesystemHandle& fs = self.get(P::kName);
            return to_bytes(unwrap(without_gil([&] { return fs.read_file(path); })));
        },
        nb::arg("path"), "read_file($self, path)\n--\n\nRead a file into bytes.");
    cls.def(
        "stat",
        [](P& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return to_value(unwrap(self.get(P::kName).stat(path)));
        },
        nb::arg("path"), "stat($self, path)\n--\n\nGet file metadata.");
    cls.def(
        "walk",
        [](P& self) {
            ExclusiveBorrow borrow(self.flag());
            kiv::FilesystemHandle& fs = self.get(P::kName);
            return values_of(unwrap(without_gil([&] { return fs.walk(); })));
        },
        "walk($self)\n--\n\nWalk all entries in the filesystem.");
    cls.def(
        "exists",
        [](P& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return unwrap(self.get(P::kName).exists(path));
        },
        nb::arg("path"), "exists($self, path)\n--\n\nCheck if a path exists.");
    bind_extraction(cls, [](P& self, const std::string& base, const std::string& dest) {
        kiv::FilesystemHandle& fs = self.get(P::kName);
        return to_value(unwrap(without_gil([&] { return fs.extract_path(base, dest); })));
    });
    cls.def(
        "open_pkg",
        [](P& self, nb::handle path_obj, nb::handle streaming_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "pkg_path");
            bool streaming = arg_bool(streaming_obj, "streaming");
            kiv::FilesystemHandle& fs = self.get(P::kName);
            auto archive = unwrap(without_gil([&] { return streaming ? fs.open_pkg_streaming(path) : fs.open_pkg(path); }));
            return make_pkg_reader(xara::PkgReader(std::move(archive)));
        },
        nb::arg("pkg_path"), nb::arg("streaming") = false,
        "open_pkg($self, pkg_path, streaming=False)\n--\n\nOpen a .pkg file from the filesystem.\n\nArgs:\n    pkg_path: Path to the .pkg file within the filesystem.\n"
        "    streaming: If True, stream to temp file (lower memory). Default False.");
}

}  // namespace

void register_pipeline_functions(nb::module_& m) { register_functions(m); }

void register_pipeline_classes(nb::module_& m) {
    register_dmg_pipeline(m);
    register_filesystem_handle(m);
}

}  // namespace kiv_python

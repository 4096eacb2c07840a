// HfsVolume and ApfsVolume: raw partition images read without a disk image.
#include <nanobind/nanobind.h>

#include "apfs/apfs.hpp"
#include "common.hpp"
#include "error.hpp"
#include "hfsplus/hfsplus.hpp"
#include "records.hpp"

namespace kiv_python {
namespace {

using error::unwrap;

struct PyHfsVolume : Closable<hfsplus::HfsVolume> {
    using Closable::Closable;
    static constexpr const char* kName = "HfsVolume";
};

struct PyApfsVolume : Closable<apfs::ApfsVolume> {
    using Closable::Closable;
    static constexpr const char* kName = "ApfsVolume";
};

// The members both classes share, in their method-table order after __exit__
// (volume_info, which only ApfsVolume has, comes first and is added by the caller).
template <class Py, class Volume>
void bind_volume(nb::class_<Py>& cls, const char* what) {
    cls.def_static(
        "open",
        [](nb::handle path_obj) {
            std::string path = arg_path(path_obj, "path");
            auto source = unwrap(core::FileSource::open(path));
            return new Py(unwrap(Volume::open(std::make_unique<core::FileSource>(std::move(source)))));
        },
        nb::arg("path"), nb::rv_policy::take_ownership, what);
    bind_closable(cls, Py::kName, [](Py&) { return cat(Py::kName, "(open)"); });
}

template <class Py>
void bind_reading(nb::class_<Py>& cls) {
    cls.def(
        "list_directory",
        [](Py& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            auto entries = unwrap(self.get(Py::kName).list_directory(path));
            nb::list out;
            for (const auto& e : entries) out.append(nb::cast(to_value(kiv::to_fs_dir_entry(e))));
            return out;
        },
        nb::arg("path"), "list_directory($self, path)\n--\n\nList entries in a directory.");
    cls.def(
        "read_file",
        [](Py& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return to_bytes(unwrap(self.get(Py::kName).read_file(path)));
        },
        nb::arg("path"), "read_file($self, path)\n--\n\nRead a file into bytes.");
    cls.def(
        "stat",
        [](Py& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return to_value(kiv::to_fs_file_stat(unwrap(self.get(Py::kName).stat(path))));
        },
        nb::arg("path"), "stat($self, path)\n--\n\nGet file metadata.");
    cls.def(
        "walk",
        [](Py& self) {
            ExclusiveBorrow borrow(self.flag());
            auto entries = unwrap(self.get(Py::kName).walk());
            nb::list out;
            for (const auto& e : entries) out.append(nb::cast(to_value(kiv::to_fs_walk_entry(e))));
            return out;
        },
        "walk($self)\n--\n\nWalk all entries in the volume.");
    cls.def(
        "exists",
        [](Py& self, nb::handle path_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string path = arg_str(path_obj, "path");
            return unwrap(self.get(Py::kName).exists(path));
        },
        nb::arg("path"), "exists($self, path)\n--\n\nCheck if a path exists.");
}

}  // namespace

void register_volume_classes(nb::module_& m) {
    nb::class_<PyHfsVolume> hfs(
        m, "HfsVolume",
        "Standalone HFS+ volume reader for raw partition images.\n\nUse as a context manager::\n\n"
        "    with kiv.HfsVolume.open(\"/path/to/partition.img\") as vol:\n"
        "        for entry in vol.list_directory(\"/\"):\n            print(entry.name)\n"
        "        data = vol.read_file(\"/some/file\")");
    bind_volume<PyHfsVolume, hfsplus::HfsVolume>(hfs, "open(path)\n--\n\nOpen an HFS+ volume from a raw partition image.");
    bind_reading(hfs);

    nb::class_<PyApfsVolume> apfs(
        m, "ApfsVolume",
        "Standalone APFS volume reader for raw partition images.\n\nUse as a context manager::\n\n"
        "    with kiv.ApfsVolume.open(\"/path/to/partition.img\") as vol:\n"
        "        for entry in vol.list_directory(\"/\"):\n            print(entry.name)\n"
        "        data = vol.read_file(\"/some/file\")");
    bind_volume<PyApfsVolume, apfs::ApfsVolume>(apfs, "open(path)\n--\n\nOpen an APFS volume from a raw partition image.");
    apfs.def_prop_ro(
        "volume_info",
        [](PyApfsVolume& self) {
            ExclusiveBorrow borrow(self.flag());
            return to_value(kiv::volume_info_of(self.get(PyApfsVolume::kName)));
        },
        "Volume metadata.");
    bind_reading(apfs);
}

}  // namespace kiv_python

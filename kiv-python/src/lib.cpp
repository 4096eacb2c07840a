// The module body of kiv._kiv: exceptions, functions and classes, in order.
#include <nanobind/nanobind.h>

#include "dmg.hpp"
#include "error.hpp"
#include "payload.hpp"
#include "pkg.hpp"
#include "signature.hpp"
#include "types.hpp"

namespace kiv_python {
void register_pipeline_functions(nanobind::module_& m);
void register_pipeline_classes(nanobind::module_& m);
void register_volume_classes(nanobind::module_& m);
}  // namespace kiv_python

NB_MODULE(_kiv, m) {
    m.doc() =
        "Python module for parsing Apple DMG disk images, HFS+/APFS filesystems,\n"
        "PKG installers, and PBZX/CPIO payloads.";
    kiv_python::error::register_exceptions(m);
    kiv_python::register_pipeline_functions(m);
    kiv_python::register_pipeline_classes(m);   // DmgPipeline, FilesystemHandle
    kiv_python::register_dmg_classes(m);        // DmgArchive, DmgBuilder
    kiv_python::register_pkg_reader(m);         // PkgReader
    kiv_python::register_xar_archive(m);        // XarArchive
    kiv_python::register_payload_classes(m);    // Archive, CpioBuilder, PbzxWriter
    kiv_python::register_volume_classes(m);     // HfsVolume, ApfsVolume
    kiv_python::register_value_classes(m);
    kiv_python::signature::publish(m);
}

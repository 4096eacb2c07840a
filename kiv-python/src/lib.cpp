// The module body of kiv._kiv: exceptions, functions and classes, in order.
#include <nanobind/nanobind.h>

#include "error.hpp"
#include "types.hpp"

namespace kiv_python {
void register_dmg_classes(nanobind::module_& m);
void register_xar_archive(nanobind::module_& m);
void register_payload_classes(nanobind::module_& m);
}  // namespace kiv_python

NB_MODULE(_kiv, m) {
    m.doc() =
        "Python module for parsing Apple DMG disk images, HFS+/APFS filesystems,\n"
        "PKG installers, and PBZX/CPIO payloads.";
    kiv_python::error::register_exceptions(m);
    kiv_python::register_dmg_classes(m);
    kiv_python::register_xar_archive(m);
    kiv_python::register_payload_classes(m);
    kiv_python::register_value_classes(m);
}

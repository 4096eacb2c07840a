// The module body of kiv._kiv: exceptions, functions and classes, in order.
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common.hpp"
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

namespace {

void register_members(nb::module_& m) {
    register_pipeline_functions(m);
    register_pipeline_classes(m);   // DmgPipeline, FilesystemHandle
    register_dmg_classes(m);        // DmgArchive, DmgBuilder
    register_pkg_reader(m);         // PkgReader
    register_xar_archive(m);        // XarArchive
    register_payload_classes(m);    // Archive, CpioBuilder, PbzxWriter
    register_volume_classes(m);     // HfsVolume, ApfsVolume
    register_value_classes(m);
    signature::publish(m);
}

// The functions and classes after the exceptions, in order.  nanobind
// registers a C++ class once per process, so the first module object made
// from this extension registers them all and every later one (importlib's
// module_from_spec and exec_module) gets the same, its functions bound to it.
std::vector<std::pair<std::string, nb::object>>& members() {
    static auto* list = new std::vector<std::pair<std::string, nb::object>>;  // as long-lived as the types
    return *list;
}

std::vector<std::string> attribute_names(nb::handle m) {
    std::vector<std::string> out;
    for (nb::handle name : m.attr("__dict__")) out.push_back(nb::cast<std::string>(name));
    return out;
}

}  // namespace
}  // namespace kiv_python

NB_MODULE(_kiv, m) {
    using namespace kiv_python;
    m.doc() =
        "Python module for parsing Apple DMG disk images, HFS+/APFS filesystems,\n"
        "PKG installers, and PBZX/CPIO payloads.";
    error::register_exceptions(m);
    static std::once_flag registered;
    once_per_process(registered, [&] {
        size_t before = attribute_names(m).size();
        register_members(m);
        auto names = attribute_names(m);
        for (size_t i = before; i < names.size(); ++i) members().emplace_back(names[i], m.attr(names[i].c_str()));
    });
    for (const auto& [name, member] : members()) m.attr(name.c_str()) = signature::bind_to(member, m);
}

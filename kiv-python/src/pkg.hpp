// The package classes: PkgReader (made by FilesystemHandle.open_pkg) and XarArchive.
#pragma once

#include <nanobind/nanobind.h>

#include "xara/pkg.hpp"

namespace kiv_python {

// A new, open Python PkgReader owning the package.
nanobind::object make_pkg_reader(xara::PkgReader reader);

void register_pkg_reader(nanobind::module_& m);
void register_xar_archive(nanobind::module_& m);

}  // namespace kiv_python

// The Python Archive class, shared with the package classes that make one.
#pragma once

#include <nanobind/nanobind.h>

#include "common.hpp"
#include "pbzx/lib.hpp"

namespace kiv_python {

struct PyArchive : Closable<pbzx::Archive> {
    using Closable::Closable;
};

void register_payload_classes(nanobind::module_& m);

}  // namespace kiv_python

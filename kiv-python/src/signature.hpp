// Public functions and methods as CPython's own function objects, so that
// inspect.signature, help() and editors see their parameters.
//
// nanobind's function objects have no __text_signature__.  CPython derives one
// from a docstring written in text-signature form:
//
//     "read_file($self, path)\n--\n\nRead a file into bytes."
//
// Bindings give their docstring in that form; publish() then replaces each such
// nanobind function by a CPython builtin function (module functions, static
// methods) or method descriptor (methods) carrying the docstring, whose call
// goes on unchanged to the nanobind function: argument matching, conversion and
// errors stay nanobind's.  The text signature must name the nanobind arguments
// and defaults exactly; a mismatch fails the import.
#pragma once

#include <nanobind/nanobind.h>

namespace kiv_python::signature {

// Publishes the functions of a module and the methods of every class in it.
void publish(nanobind::handle module);

// A published module function bound to `module` (a function of another module
// object made from this extension is re-made for it); anything else unchanged.
nanobind::object bind_to(nanobind::handle member, nanobind::handle module);

}  // namespace kiv_python::signature

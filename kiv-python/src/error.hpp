// The module's exceptions and the one route from a native error to Python.
#pragma once

#include <nanobind/nanobind.h>

#include "pipeline/error.hpp"

namespace kiv_python::error {

namespace nb = nanobind;

// Adds KivError, IoError, InvalidFormatError, FileNotFoundError,
// DecompressionError and UnsupportedError to the module, in this order.
void register_exceptions(nb::module_& m);

// The Python exception class for an error, chosen by its variant and, for
// wrapped library errors, by the library's variant.
PyObject* exception_class(const kiv::KivError& error);

// Records the Python exception for `error` and returns it, ready to throw.
nb::python_error to_pyerr(const kiv::KivError& error);

// Raises the Python exception for an error of the pipeline or of any library.
[[noreturn]] inline void raise(const kiv::KivError& error) { throw to_pyerr(error); }

// The value of a library result, or the raised Python exception of its error.
template <class T, class E>
T unwrap(std::expected<T, E>&& result) {
    if (!result) raise(kiv::KivError(std::move(result.error())));
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace kiv_python::error

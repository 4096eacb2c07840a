#include "error.hpp"

#include <atomic>
#include <mutex>

#include "common.hpp"

namespace kiv_python::error {
namespace {

enum class Class : uint8_t { KivError, Io, InvalidFormat, FileNotFound, Decompression, Unsupported };
constexpr Class IO = Class::Io, IF = Class::InvalidFormat, NF = Class::FileNotFound, DC = Class::Decompression,
                UN = Class::Unsupported;

struct ExceptionSpec {
    const char* short_name;
    const char* qualified_name;
    const char* doc;
};

constexpr ExceptionSpec kExceptions[] = {
    {"KivError", "_kiv.KivError", "Base exception for all kiv errors."},
    {"IoError", "_kiv.IoError", "I/O error."},
    {"InvalidFormatError", "_kiv.InvalidFormatError", "Invalid format: bad magic, corrupt data, or invalid headers."},
    {"FileNotFoundError", "_kiv.FileNotFoundError", "File or partition not found."},
    {"DecompressionError", "_kiv.DecompressionError", "Decompression failure."},
    {"UnsupportedError", "_kiv.UnsupportedError", "Unsupported feature or format."},
};

// The exception type, created once per process on first need.
PyObject* exception_type(Class c) {
    static std::atomic<PyObject*> types[std::size(kExceptions)] = {};
    static std::once_flag once[std::size(kExceptions)];
    size_t i = size_t(c);
    if (PyObject* made = types[i].load(std::memory_order_acquire)) return made;
    PyObject* base = c == Class::KivError ? PyExc_Exception : exception_type(Class::KivError);
    once_per_process(once[i], [&] {
        PyObject* made = PyErr_NewExceptionWithDoc(kExceptions[i].qualified_name, kExceptions[i].doc, base, nullptr);
        if (!made) {
            PyErr_Clear();
            Py_FatalError("Failed to initialize new exception type.");
        }
        types[i].store(made, std::memory_order_release);
    });
    return types[i].load(std::memory_order_acquire);
}

// Class by variant, one table per library, in each library's variant order.
constexpr Class kUdif[] = {IF, IO, IF, IF, IF, DC, DC, UN, NF, IF, IF, IF, UN, IF};
constexpr Class kHfsPlus[] = {IO, IF, IF, NF, IF, IF, UN, UN};
constexpr Class kXar[] = {IO, IF, IF, IF, NF, UN, DC, IF};
constexpr Class kPbzx[] = {IF, IO, DC, IF, IO, IF, NF, IF, DC, UN};
constexpr Class kApfs[] = {IO, IF, IF, IF, NF, IF, IF, UN, IF};
constexpr Class kPipeline[] = {IO, IF, IF, IF, IF, IF, NF, NF, NF, NF, IF, NF};

template <class E, size_t N>
Class by_kind(const E* inner, const Class (&table)[N]) {
    return table[size_t(inner->kind())];
}

Class class_of(const kiv::KivError& e) {
    using K = kiv::KivError::Kind;
    switch (e.kind()) {
        case K::Dmg: return by_kind(e.inner<udif::KivError>(), kUdif);
        case K::HfsPlus: return by_kind(e.inner<hfsplus::HfsPlusError>(), kHfsPlus);
        case K::Xar: return by_kind(e.inner<xara::XarError>(), kXar);
        case K::Pbzx: return by_kind(e.inner<pbzx::PbzxError>(), kPbzx);
        case K::Apfs: return by_kind(e.inner<apfs::ApfsError>(), kApfs);
        default: return kPipeline[size_t(e.kind())];
    }
}

}  // namespace

void register_exceptions(nb::module_& m) {
    for (size_t i = 0; i < std::size(kExceptions); ++i)
        m.attr(kExceptions[i].short_name) = nb::borrow(exception_type(Class(i)));
}

PyObject* exception_class(const kiv::KivError& error) { return exception_type(class_of(error)); }

nb::python_error to_pyerr(const kiv::KivError& error) {
    PyErr_SetObject(exception_class(error), py_str(error.message()).ptr());
    return nb::python_error();
}

}  // namespace kiv_python::error

#include "error.hpp"

#include <atomic>
#include <mutex>

#include "common.hpp"

namespace kiv_python::error {
namespace {

enum class Class : uint8_t { KivError, Io, InvalidFormat, FileNotFound, Decompression, Unsupported };

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

// The class of each library's kinds.  Every switch names every kind and has
// no default, so a kind added to a library is a compiler warning here.
Class class_of(const udif::KivError& e) {
    using K = udif::KivError::Kind;
    switch (e.kind()) {
        case K::Io: return Class::Io;
        case K::Decompression: case K::Compression: return Class::Decompression;
        case K::UnsupportedCompression: case K::Unsupported: return Class::Unsupported;
        case K::FileNotFound: return Class::FileNotFound;
        case K::InvalidMagic: case K::InvalidKoly:
        case K::InvalidPlist: case K::InvalidBlockMap:
        case K::InvalidPath: case K::Base64:
        case K::Xml: case K::ChecksumMismatch: return Class::InvalidFormat;
    }
    return Class::KivError;
}

Class class_of(const hfsplus::HfsPlusError& e) {
    using K = hfsplus::HfsPlusError::Kind;
    switch (e.kind()) {
        case K::Io: return Class::Io;
        case K::FileNotFound: return Class::FileNotFound;
        case K::UnsupportedVersion: case K::Unsupported: return Class::Unsupported;
        case K::InvalidSignature: case K::InvalidBTree:
        case K::NotADirectory: case K::CorruptedData: return Class::InvalidFormat;
    }
    return Class::KivError;
}

Class class_of(const apfs::ApfsError& e) {
    using K = apfs::ApfsError::Kind;
    switch (e.kind()) {
        case K::Io: return Class::Io;
        case K::FileNotFound: return Class::FileNotFound;
        case K::Unsupported: return Class::Unsupported;
        case K::InvalidMagic: case K::InvalidChecksum:
        case K::InvalidBTree: case K::NotADirectory:
        case K::CorruptedData: case K::NoVolume: return Class::InvalidFormat;
    }
    return Class::KivError;
}

Class class_of(const xara::XarError& e) {
    using K = xara::XarError::Kind;
    switch (e.kind()) {
        case K::Io: return Class::Io;
        case K::FileNotFound: return Class::FileNotFound;
        case K::UnsupportedEncoding: return Class::Unsupported;
        case K::DecompressionFailed: return Class::Decompression;
        case K::InvalidMagic: case K::InvalidToc:
        case K::XmlParse: case K::InvalidPath: return Class::InvalidFormat;
    }
    return Class::KivError;
}

Class class_of(const pbzx::PbzxError& e) {
    using K = pbzx::PbzxError::Kind;
    switch (e.kind()) {
        case K::Io: case K::UnexpectedEof: return Class::Io;
        case K::Decompression: case K::Compression: return Class::Decompression;
        case K::FileNotFound: return Class::FileNotFound;
        case K::Unsupported: return Class::Unsupported;
        case K::InvalidMagic: case K::InvalidChunk:
        case K::InvalidCpio: case K::InvalidPath: return Class::InvalidFormat;
    }
    return Class::KivError;
}

Class class_of(const kiv::KivError& e) {
    using K = kiv::KivError::Kind;
    switch (e.kind()) {
        case K::Io: return Class::Io;
        case K::Dmg: return class_of(*e.inner<udif::KivError>());
        case K::HfsPlus: return class_of(*e.inner<hfsplus::HfsPlusError>());
        case K::Xar: return class_of(*e.inner<xara::XarError>());
        case K::Pbzx: return class_of(*e.inner<pbzx::PbzxError>());
        case K::Apfs: return class_of(*e.inner<apfs::ApfsError>());
        case K::FileNotFound: case K::NoHfsPartition:
        case K::NoApfsPartition: case K::NoFilesystemPartition:
        case K::NoEntries: return Class::FileNotFound;
        case K::InvalidPath: return Class::InvalidFormat;
    }
    return Class::KivError;
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

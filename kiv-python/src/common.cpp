#include "common.hpp"

#include <climits>
#include <cstdio>

namespace kiv_python {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

namespace {

[[noreturn]] void wrong_type(nb::handle value, const char* name, const char* expected) {
    raise(PyExc_TypeError,
          cat("argument '", name, "': '", Py_TYPE(value.ptr())->tp_name, "' object cannot be converted to '",
              expected, "'"));
}

[[noreturn]] void out_of_range(const char* name) {
    raise(PyExc_OverflowError, cat("argument '", name, "': out of range integral type conversion attempted"));
}

// The value of a Python int (bool excluded) as a signed or unsigned 64-bit number.
template <class T>
T int_value(nb::handle value, const char* name, const char* type_name) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) wrong_type(value, name, type_name);
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow) out_of_range(name);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return T(v);
    } else {
        if (_PyLong_Sign(value.ptr()) < 0) out_of_range(name);
        unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());
        if (v == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Clear();
            out_of_range(name);
        }
        return T(v);
    }
}

}  // namespace

std::string arg_str(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) wrong_type(value, name, "PyString");
    nb::object encoded = nb::steal(PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape"));
    if (!encoded.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(encoded.ptr()), size_t(PyBytes_GET_SIZE(encoded.ptr())));
}

std::string arg_path(nb::handle value, const char* name) {
    std::string path = arg_str(value, name);
    if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return path;
}

int32_t arg_i32(nb::handle value, const char* name) {
    int64_t v = int_value<int64_t>(value, name, "PyInt");
    if (v < INT32_MIN || v > INT32_MAX) out_of_range(name);
    return int32_t(v);
}

uint32_t arg_u32(nb::handle value, const char* name) {
    uint64_t v = int_value<uint64_t>(value, name, "PyInt");
    if (v > UINT32_MAX) out_of_range(name);
    return uint32_t(v);
}

uint64_t arg_u64(nb::handle value, const char* name) { return int_value<uint64_t>(value, name, "PyInt"); }

bool arg_bool(nb::handle value, const char* name) {
    if (!PyBool_Check(value.ptr())) wrong_type(value, name, "PyBool");
    return value.ptr() == Py_True;
}

std::span<const uint8_t> arg_bytes(nb::handle value, const char* name) {
    if (!PyBytes_Check(value.ptr())) wrong_type(value, name, "PyBytes");
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value.ptr())), size_t(PyBytes_GET_SIZE(value.ptr()))};
}

nb::bytes to_bytes(std::span<const uint8_t> data) { return nb::bytes(data.data(), data.size()); }

nb::str py_str(std::string_view text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogateescape");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string fixed2(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

std::string octal(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0o%llo", (unsigned long long)v);
    return buf;
}

}  // namespace kiv_python

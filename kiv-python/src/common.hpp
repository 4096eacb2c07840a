// Shared machinery of the Python classes: borrow flags, argument conversion,
// text formatting for reprs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "core/text.hpp"

namespace kiv_python {

using core::debug_quote;

namespace nb = nanobind;

[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_runtime(const std::string& message) { raise(PyExc_RuntimeError, message); }

nb::str py_str(std::string_view text);

// A per-object borrow flag: free, shared by readers, or held by one writer.
// Conflicting calls fail at once instead of waiting.
class BorrowFlag {
public:
    bool try_shared() {
        int cur = state_.load(std::memory_order_relaxed);
        while (cur >= 0)
            if (state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire)) return true;
        return false;
    }
    bool try_exclusive() {
        int expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

private:
    std::atomic<int> state_{0};
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (!flag_.try_shared()) raise_runtime("Already mutably borrowed");
    }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (!flag_.try_exclusive()) raise_runtime("Already borrowed");
    }
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// A Python object that owns one native object until it is closed.
template <class Native>
class Closable {
public:
    Closable() = default;
    explicit Closable(Native native) : native_(std::move(native)) {}

    BorrowFlag& flag() { return flag_; }
    bool is_open() const { return native_.has_value(); }
    // The native object; raises RuntimeError "<Class> is closed" once closed.
    Native& get(const char* class_name) {
        if (!native_) raise_runtime(std::string(class_name) + " is closed");
        return *native_;
    }
    void close() { native_.reset(); }

private:
    std::optional<Native> native_;
    BorrowFlag flag_;
};

// Adds __enter__, __exit__ and __repr__ of the closable-resource protocol.
// `open_repr(self)` gives the repr of an open object (called under a shared borrow).
template <class Py, class OpenRepr>
void bind_closable(nb::class_<Py>& cls, const char* name, OpenRepr open_repr) {
    cls.def("__enter__", [](nb::handle self) {
        SharedBorrow borrow(nb::cast<Py&>(self).flag());
        return nb::borrow(self);
    }, "__enter__($self)\n--\n\n");
    cls.def(
        "__exit__",
        [](Py& self, nb::handle, nb::handle, nb::handle) {
            ExclusiveBorrow borrow(self.flag());
            self.close();
            return false;
        },
        nb::arg("_exc_type") = nb::none(), nb::arg("_exc_val") = nb::none(), nb::arg("_exc_tb") = nb::none(),
        "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n");
    cls.def("__repr__", [name, open_repr](Py& self) {
        SharedBorrow borrow(self.flag());
        if (!self.is_open()) return py_str(std::string(name) + "(closed)");
        return py_str(open_repr(self));
    });
}

// Argument conversion.  Every path and name is a Python str; integers are
// range-checked (OverflowError) and never taken from other types (TypeError).
std::string arg_str(nb::handle value, const char* name);
// A file or folder on disk: converted as arg_str, and a NUL is refused with
// ValueError "embedded null byte", as Python's own open() does, since the
// operating system would only see the name before it.  Paths inside a volume
// or archive go through arg_str: their names may hold a NUL.
std::string arg_path(nb::handle value, const char* name);
int32_t arg_i32(nb::handle value, const char* name);
uint32_t arg_u32(nb::handle value, const char* name);
uint64_t arg_u64(nb::handle value, const char* name);
bool arg_bool(nb::handle value, const char* name);
// A bytes object (not bytearray or memoryview), as a view valid while `value` lives.
std::span<const uint8_t> arg_bytes(nb::handle value, const char* name);

// Runs `work` with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    {
        nb::gil_scoped_release unlocked;
        result.emplace(work());
    }
    return std::move(*result);
}

// Runs `init` once per process.  A thread that finds another one running it
// waits with the interpreter lock released: the other may need the lock to finish.
template <class F>
void once_per_process(std::once_flag& flag, F&& init) {
    nb::gil_scoped_release unlocked;
    std::call_once(flag, [&] {
        nb::gil_scoped_acquire locked;
        init();
    });
}

// Adds extract_all(dest) and extract_path(base_path, dest) to a closable
// class; `extract(self, base, dest)` runs under the exclusive borrow.
template <class Py, class Extract>
void bind_extraction(nb::class_<Py>& cls, Extract extract) {
    cls.def(
        "extract_all",
        [extract](Py& self, nb::handle dest_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string dest = arg_path(dest_obj, "dest");
            return extract(self, std::string("/"), dest);
        },
        nb::arg("dest"), "extract_all($self, dest)\n--\n\nExtract all files to a directory on disk.");
    cls.def(
        "extract_path",
        [extract](Py& self, nb::handle base_obj, nb::handle dest_obj) {
            ExclusiveBorrow borrow(self.flag());
            std::string base = arg_str(base_obj, "base_path");
            std::string dest = arg_path(dest_obj, "dest");
            return extract(self, base, dest);
        },
        nb::arg("base_path"), nb::arg("dest"),
        "extract_path($self, base_path, dest)\n--\n\nExtract files under a base path to a directory on disk.\nThe base prefix is stripped from output paths.");
}

nb::bytes to_bytes(std::span<const uint8_t> data);

// A Python str from UTF-8 text; bytes that are not UTF-8 (names in archives
// may hold any bytes) round-trip through arg_str as surrogate escapes.
nb::str py_str(std::string_view text);

// Concatenates text and numbers (integers in decimal).
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    auto add = [&out](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
            out += std::to_string(p);
        else
            out += p;
    };
    (add(parts), ...);
    return out;
}

// A float with two decimals ("0.50"), an integer in octal with "0o".
std::string fixed2(double v);
std::string octal(uint64_t v);


}  // namespace kiv_python

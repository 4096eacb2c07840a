#include "signature.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>

namespace kiv_python::signature {
namespace {

namespace nb = nanobind;

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One published function: CPython's definition of it and the nanobind function it calls.
struct Published {
    std::string name;
    std::string doc;
    PyMethodDef def{};
    PyObject* target = nullptr;  // a strong reference, held for the life of the process
    bool pass_self = false;      // a method: the instance goes on as the first argument
};

// A method descriptor hands its C function the instance and the arguments but
// not its definition, so every published function needs a C function of its
// own: a fixed set of forwarders, one per slot.  The module publishes 71.
constexpr size_t kSlots = 96;

Published* slots() {
    static Published* table = new Published[kSlots];  // never freed: the types outlive static destructors
    return table;
}

PyObject* call(const Published& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!p.pass_self) return PyObject_Vectorcall(p.target, args, size_t(nargs), kwnames);
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[8];
    PyObject** stack = small;
    if (total + 1 > Py_ssize_t(std::size(small))) {
        stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * size_t(total + 1)));
        if (!stack) return PyErr_NoMemory();
    }
    stack[0] = self;
    std::copy(args, args + total, stack + 1);
    PyObject* result = PyObject_Vectorcall(p.target, stack, size_t(nargs + 1), kwnames);
    if (stack != small) PyMem_Free(stack);
    return result;
}

template <size_t I>
PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(slots()[I], self, args, nargs, kwnames);
}

template <size_t... I>
constexpr std::array<FastCall, sizeof...(I)> make_forwarders(std::index_sequence<I...>) {
    return {&forward<I>...};
}

constexpr auto kForwarders = make_forwarders(std::make_index_sequence<kSlots>{});

std::mutex slots_mutex;
size_t slots_used = 0;

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Splits at the commas outside brackets.
std::vector<std::string_view> split_parameters(std::string_view list) {
    std::vector<std::string_view> out;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i <= list.size(); ++i) {
        char c = i < list.size() ? list[i] : ',';
        if (c == '[' || c == '(') ++depth;
        if (c == ']' || c == ')') --depth;
        if (c == ',' && depth == 0) {
            if (auto p = trim(list.substr(start, i - start)); !p.empty()) out.push_back(p);
            start = i + 1;
        }
    }
    return out;
}

// The parameters of a docstring in text-signature form, "name(a, b=1)\n--\n\n...",
// as CPython reads it ("$self" as "self"); nullopt when the docstring is not in that form.
std::optional<std::vector<std::string>> text_parameters(std::string_view doc, std::string_view name) {
    if (!doc.starts_with(name) || doc.size() <= name.size() || doc[name.size()] != '(') return std::nullopt;
    size_t end = doc.find(")\n--\n\n");
    if (end == std::string_view::npos || doc.find('\n') != end + 1) return std::nullopt;
    std::vector<std::string> out;
    for (std::string_view p : split_parameters(doc.substr(name.size() + 1, end - name.size() - 1))) {
        if (p.starts_with('$')) p.remove_prefix(1);
        std::string text;
        for (char c : p)
            if (c != ' ') text += c;
        out.push_back(std::move(text));
    }
    return out;
}

// The parameters nanobind matches calls against, written like a text
// signature's: "self", "path", "mode=420".
std::vector<std::string> nanobind_parameters(std::string_view rendered, nb::handle defaults) {
    // rendered: "def name(self, path: object, mode: object = \0) -> None"
    size_t open = rendered.find('(');
    size_t close = rendered.rfind(") -> ");
    if (close == std::string_view::npos) close = rendered.rfind(')');
    std::vector<std::string> out;
    for (std::string_view p : split_parameters(rendered.substr(open + 1, close - open - 1))) {
        std::string text(p.substr(0, p.find_first_of(":= ")));
        if (size_t slot = p.find("= \\"); slot != std::string_view::npos) {
            size_t index = std::stoul(std::string(p.substr(slot + 3)));
            text += "=" + nb::cast<std::string>(nb::repr(defaults[index]));
        }
        out.push_back(std::move(text));
    }
    return out;
}

nb::object checked(PyObject* made) {
    if (!made) throw nb::python_error();
    return nb::steal(made);
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
    return "(" + out + ")";
}

// The published form of nanobind function `fn` bound as `name` of `owner` (a
// module or a class), or an empty object when its docstring has no text signature.
nb::object published(nb::handle fn, const std::string& name, nb::handle owner, bool in_class) {
    nb::tuple overloads = fn.attr("__nb_signature__");
    if (overloads.size() != 1) return {};
    nb::tuple overload = overloads[0];
    if (overload[1].is_none()) return {};
    std::string doc = nb::cast<std::string>(overload[1]);
    auto text = text_parameters(doc, name);
    if (!text) return {};
    auto actual = nanobind_parameters(nb::cast<std::string>(overload[0]), overload[2]);
    if (*text != actual)
        throw std::runtime_error("text signature " + name + joined(*text) + " does not match the parameters " +
                                 name + joined(actual));

    bool method = in_class && Py_TYPE(fn.ptr())->tp_descr_get != nullptr;
    Published* p;
    size_t index;
    {
        std::lock_guard lock(slots_mutex);
        if (slots_used == kSlots) throw std::runtime_error("more published functions than forwarders");
        index = slots_used++;
        p = &slots()[index];
    }
    p->name = name;
    p->doc = std::move(doc);
    p->def = {p->name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kForwarders[index])),
              METH_FASTCALL | METH_KEYWORDS, p->doc.c_str()};
    p->target = fn.inc_ref().ptr();
    p->pass_self = method;

    if (method) return checked(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(owner.ptr()), &p->def));
    if (in_class) return checked(PyStaticMethod_New(checked(PyCFunction_NewEx(&p->def, owner.ptr(), nullptr)).ptr()));
    return checked(PyCFunction_NewEx(&p->def, owner.ptr(), owner.attr("__name__").ptr()));
}

bool is_nanobind_function(nb::handle value) {
    return !PyType_Check(value.ptr()) && nb::hasattr(value, "__nb_signature__");
}

void publish_class(nb::handle cls) {
    std::vector<std::pair<std::string, nb::object>> replaced;
    for (nb::handle item : cls.attr("__dict__").attr("items")()) {
        nb::handle value = item[1];
        if (!is_nanobind_function(value)) continue;
        std::string name = nb::cast<std::string>(item[0]);
        if (nb::object f = published(value, name, cls, true); f.is_valid()) replaced.emplace_back(name, std::move(f));
    }
    for (auto& [name, f] : replaced) nb::setattr(cls, name.c_str(), f);
#if PY_VERSION_HEX >= 0x030C0000
    // A constructor's text signature is the class docstring's; inspect would
    // look at nanobind's __init__ instead, unless __signature__ holds the text
    // (which inspect accepts from 3.12 on).
    if (nb::object text = cls.attr("__text_signature__"); !text.is_none()) nb::setattr(cls, "__signature__", text);
#endif
}

}  // namespace

void publish(nb::handle module) {
    std::vector<std::pair<std::string, nb::object>> replaced;
    for (nb::handle item : module.attr("__dict__").attr("items")()) {
        nb::handle value = item[1];
        if (nb::type_check(value)) {
            publish_class(value);
        } else if (is_nanobind_function(value)) {
            std::string name = nb::cast<std::string>(item[0]);
            if (nb::object f = published(value, name, module, false); f.is_valid())
                replaced.emplace_back(name, std::move(f));
        }
    }
    for (auto& [name, f] : replaced) nb::setattr(module, name.c_str(), f);
}

nb::object bind_to(nb::handle member, nb::handle module) {
    if (PyCFunction_Check(member.ptr())) {
        auto* f = reinterpret_cast<PyCFunctionObject*>(member.ptr());
        if (f->m_self != module.ptr() && PyModule_Check(f->m_self)) {
            return checked(PyCFunction_NewEx(f->m_ml, module.ptr(), module.attr("__name__").ptr()));
        }
    }
    return nb::borrow(member);
}

}  // namespace kiv_python::signature

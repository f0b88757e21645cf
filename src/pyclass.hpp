// Ordinary Python classes whose method bodies are C++.
//
// A class is created by calling `type(name, bases, namespace)`, so it is a
// plain heap type: `type(cls) is type`, instances have a `__dict__`, and a
// Python subclass overrides any operation. Each operation is a
// `compiled_function`: a vectorcall object that binds like a Python
// function (any `self`, a bound method when read from an instance) and, like
// one, is a method descriptor, so `obj.op(...)` calls it without creating a
// bound method first. Method bodies receive `self` and their bound
// arguments; they call other operations through the object
// (`self.attr("x")()`), never directly, so overrides win.
//
// Errors: a Python error raised by a callee travels as
// `py::error_already_set` and is restored untouched (the same exception
// object reaches the caller).
//
// Maintainer checklist:
// - A body calls other operations through the object (`self.attr("op")()`),
//   never the C++ function behind them: a Python subclass's override must run.
// - `Args` are borrowed from the caller for the duration of the call: keep
//   one beyond the call only as a `py::object` (a new reference).
// - At most `max_params` (8) parameters per operation, `self` not counted.
// - One body backs one operation: registering a body a second time is
//   refused (std::logic_error, so the module's import fails saying so).
// - What a body throws becomes a Python exception, and nothing else leaves
//   it: `py::error_already_set` → that very exception object; a pybind11
//   builtin exception (`py::value_error`, `py::type_error`, ...) → its
//   Python type; `std::bad_alloc` → MemoryError; any other `std::exception`
//   → SystemError with its `what()`; anything else → SystemError "unknown
//   C++ exception". Raise ordinary Python errors with `raise(type, msg)`.
#pragma once

#include <pybind11/pybind11.h>
#include <structmember.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace py = pybind11;

// Hidden: each module carries its own copy, never exported from its .so.
#pragma GCC visibility push(hidden)
namespace pyclass {

// ---------------------------------------------------------------- semantics

// Python truth value (`bool(x)`); errors raised by `__bool__` propagate.
inline bool truth(py::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// Python `a == b` followed by its truth value (no identity shortcut).
inline bool equals(py::handle a, py::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truth(py::reinterpret_steal<py::object>(r));
}

// Python `item in container`.
inline bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// Python `str(x)`.
inline py::str str(py::handle h) {
    PyObject *r = PyObject_Str(h.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// Python `hasattr(obj, name)`: only AttributeError means absent.
inline bool has_attr(py::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    throw py::error_already_set();
}

// True when a caught Python error belongs to the ordinary error family
// (`Exception` and its subclasses). KeyboardInterrupt, SystemExit and
// GeneratorExit do not, so they are never swallowed.
inline bool is_ordinary_error(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// `fmt` with the string form of `value` in place of its one "%s", as in
// Python's `fmt % value` for a single value (a tuple is not unpacked).
inline py::str percent_s(const char *fmt, py::handle value) {
    const char *at = std::strstr(fmt, "%s");
    if (!at) return py::str(fmt);
    py::str head(fmt, static_cast<std::size_t>(at - fmt));
    py::str tail(at + 2);
    PyObject *r = PyUnicode_Concat(head.ptr(), str(value).ptr());
    if (!r) throw py::error_already_set();
    py::object joined = py::reinterpret_steal<py::object>(r);
    r = PyUnicode_Concat(joined.ptr(), tail.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// Python's `fmt.format(*values)`.
template <typename... Values>
py::str format(const char *fmt, Values &&...values) {
    return py::str(fmt).attr("format")(std::forward<Values>(values)...);
}

// Whether the interpreter runs `assert` statements (not under -O).
inline bool assertions_enabled() {
    py::object flags = py::module_::import("sys").attr("flags");
    return !truth(flags.attr("optimize"));
}

// Raise the error type `type` (a Python exception class) with one message.
[[noreturn]] inline void raise(py::handle type, const py::object &message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw py::error_already_set();
}
[[noreturn]] inline void raise(py::handle type, const char *message) {
    raise(type, py::str(message));
}

// ------------------------------------------------------------------ classes

// A new ordinary Python class `name(*bases)` in module `m`, bound as `m.name`.
inline py::object make_class(py::module_ &m, const char *name, py::tuple bases, const char *doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    py::object type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

// One parameter of an operation: a name and, optionally, a default.
struct Param {
    const char *name;
    py::object default_value;  // null handle: required
};
inline Param arg(const char *name) { return Param{name, py::object()}; }
inline Param arg(const char *name, py::object default_value) {
    return Param{name, std::move(default_value)};
}

constexpr std::size_t max_params = 8;

// The bound arguments of one call, in parameter order (borrowed).
class Args {
public:
    explicit Args(PyObject *const *values) : values_(values) {}
    py::handle operator[](std::size_t i) const { return values_[i]; }

private:
    PyObject *const *values_;
};

using MethodBody = py::object (*)(py::handle self, const Args &args);
using StaticBody = py::object (*)(const Args &args);

struct Signature {
    bool made = false;  // a body backs one operation only
    std::string name;
    bool has_self = true;
    std::vector<py::object> names;     // interned parameter names
    std::vector<py::object> defaults;  // null handle: required
};

namespace detail {

inline PyObject *type_error(const Signature &s, const std::string &what) {
    PyErr_Format(PyExc_TypeError, "%s() %s", s.name.c_str(), what.c_str());
    return nullptr;
}

inline std::ptrdiff_t param_index(const Signature &s, PyObject *key) {
    for (std::size_t i = 0; i < s.names.size(); ++i)
        if (s.names[i].ptr() == key) return static_cast<std::ptrdiff_t>(i);
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        int r = PyUnicode_Compare(s.names[i].ptr(), key);
        if (r == 0) return static_cast<std::ptrdiff_t>(i);
        if (r == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// Binds a vectorcall's arguments to the signature's parameters, in the
// manner of a Python function. On failure sets TypeError and returns false.
inline bool bind(const Signature &s, PyObject *const *args, std::size_t nargs, PyObject *kwnames,
                 PyObject **out) {
    const std::size_t n = s.names.size();
    const std::size_t first = s.has_self ? 1 : 0;
    // The common call: every parameter given by position.
    if (!kwnames && nargs == first + n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = args[first + i];
        return true;
    }
    const std::size_t given = s.has_self ? (nargs ? nargs - 1 : 0) : nargs;
    if (s.has_self && nargs == 0) {
        type_error(s, "needs an argument");
        return false;
    }
    if (given > n) {
        type_error(s, "takes " + std::to_string(n + (s.has_self ? 1 : 0)) + " positional argument" +
                          (n + s.has_self == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                          (nargs == 1 ? " was" : " were") + " given");
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    for (std::size_t i = 0; i < given; ++i) out[i] = args[first + i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            std::ptrdiff_t idx = param_index(s, key);
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             s.name.c_str(), key);
                return false;
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             s.name.c_str(), key);
                return false;
            }
            out[idx] = args[nargs + static_cast<std::size_t>(k)];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (out[i]) continue;
        if (!s.defaults[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%U'", s.name.c_str(),
                         s.names[i].ptr());
            return false;
        }
        out[i] = s.defaults[i].ptr();
    }
    return true;
}

// Converts whatever a body threw into a Python error indicator.
inline PyObject *translate_current_exception() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

// Made once and never destroyed: it holds Python objects (parameter names,
// defaults), which must not be released by a static destructor running
// after the interpreter has shut down.
template <auto Body>
Signature &signature_of() {
    static Signature *s = new Signature;
    return *s;
}

// The entry of every operation: binds the arguments, runs the body (a
// MethodBody gets args[0] as self) and turns what it throws into a Python
// error.
template <auto Body>
PyObject *call(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    const Signature &s = signature_of<Body>();
    std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    std::array<PyObject *, max_params> bound;
    // Every parameter given by position (the common call): the body reads
    // the caller's own array, nothing is copied.
    const std::size_t first = s.has_self ? 1 : 0;
    PyObject *const *values = args + first;
    if (kwnames || nargs != first + s.names.size()) {
        if (!bind(s, args, nargs, kwnames, bound.data())) return nullptr;
        values = bound.data();
    }
    try {
        py::object result;
        if constexpr (std::is_same_v<decltype(Body), MethodBody>)
            result = Body(py::handle(args[0]), Args(values));
        else
            result = Body(Args(values));
        if (!result && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%s() returned no object", s.name.c_str());
        return result.release().ptr();
    } catch (...) {
        return translate_current_exception();
    }
}

// The same entry under the name the modules take the address of.
template <StaticBody Body>
PyObject *call_static(PyObject *m, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return call<Body>(m, args, nargsf, kwnames);
}

// The vectorcall entry of a compiled_function: args[0] is self.
template <MethodBody Body>
PyObject *call_function(PyObject *f, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return call<Body>(f, args, static_cast<Py_ssize_t>(nargsf), kwnames);
}

// The parameter list as `inspect` reads it: "(self, a, b=None)".
inline std::string parameter_text(const Signature &s) {
    std::string t = "(";
    bool first = true;
    // Plain "self", not "$self": unbound, the operation takes any object as
    // its first argument, as a Python function does.
    if (s.has_self) {
        t += "self";
        first = false;
    }
    for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (!first) t += ", ";
        first = false;
        t += py::str(s.names[i]).cast<std::string>();
        if (s.defaults[i]) t += "=" + py::repr(s.defaults[i]).cast<std::string>();
    }
    return t + ")";
}

// Docstring with a text signature, so `inspect.signature` works.
inline std::string text_signature(const Signature &s, const char *doc) {
    return s.name + parameter_text(s) + "\n--\n\n" + (doc ? doc : "");
}

// A method definition together with the texts its name and doc point to.
struct MethodDefinition {
    PyMethodDef def;
    std::string name;
    std::string doc;
};

// Every definition made, kept for the life of the process: the interpreter
// may free a function object while shutting down, but a definition is never
// freed, so one still in use by a function object never dangles.
inline std::vector<MethodDefinition *> &definitions() {
    static auto *all = new std::vector<MethodDefinition *>;
    return *all;
}

template <auto Body>
Signature &make_signature(const char *name, bool has_self, std::initializer_list<Param> params) {
    if (params.size() > max_params)
        throw std::logic_error(std::string("pyclass: ") + name + "() has more than " +
                               std::to_string(max_params) + " parameters");
    Signature &s = signature_of<Body>();
    if (s.made)
        throw std::logic_error(std::string("pyclass: the C++ body of ") + s.name +
                               "() is registered again, as " + name +
                               "(); each operation needs a body of its own");
    s.made = true;
    s.name = name;
    s.has_self = has_self;
    s.names.clear();
    s.defaults.clear();
    for (const Param &p : params) {
        PyObject *interned = PyUnicode_InternFromString(p.name);
        if (!interned) throw py::error_already_set();
        s.names.push_back(py::reinterpret_steal<py::object>(interned));
        s.defaults.push_back(p.default_value);
    }
    return s;
}

template <auto Body>
py::object make_function(py::handle module, const char *name, bool has_self,
                         std::initializer_list<Param> params, const char *doc,
                         PyObject *(*entry)(PyObject *, PyObject *const *, Py_ssize_t,
                                            PyObject *)) {
    const Signature &s = make_signature<Body>(name, has_self, params);
    // The definition must outlive the function object: it lives as long as
    // the process, with the texts it points to.
    definitions().reserve(definitions().size() + 1);
    std::unique_ptr<MethodDefinition> owned(new MethodDefinition{{}, name, text_signature(s, doc)});
    PyMethodDef *def = &owned->def;
    def->ml_name = owned->name.c_str();
    def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def->ml_doc = owned->doc.c_str();
    PyObject *fn = PyCFunction_NewEx(def, module.ptr(), module.attr("__name__").ptr());
    if (!fn) throw py::error_already_set();
    definitions().push_back(owned.release());
    return py::reinterpret_steal<py::object>(fn);
}

// An operation of a class: what a Python function is to a class, for a C++
// body. It binds like a function (read from an instance it gives a bound
// method, read from the class it is itself) and is a method descriptor, so
// `obj.op(...)` calls it with `obj` in front, without a bound method.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    // Strings only, so the object takes part in no reference cycle.
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;  // a str, or None
    PyObject *text_signature;
};

inline void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->text_signature);
    PyObject_Free(self);
}

inline PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>",
                                reinterpret_cast<FunctionObject *>(self)->qualname, self);
}

// One type per extension module (the header's names are hidden), made
// ready on first use; it lives as long as the process.
inline PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
        static PyMemberDef members[] = {
            {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
            {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
            {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
            {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
            {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), READONLY,
             nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyTypeObject t{};
        Py_SET_REFCNT(&t, 1);
        t.tp_name = "compiled_function";
        t.tp_basicsize = sizeof(FunctionObject);
        t.tp_dealloc = function_dealloc;
        t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        t.tp_repr = function_repr;
        t.tp_call = PyVectorcall_Call;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
        t.tp_doc = "An operation of a class whose body is C++; binds like a function.";
        t.tp_members = members;
        t.tp_descr_get = function_get;
        if (PyType_Ready(&t) < 0) throw py::error_already_set();
        return &t;
    }();
    return type;
}

template <MethodBody Body>
py::object make_method(py::handle cls, py::handle module, const char *name,
                       std::initializer_list<Param> params, const char *doc) {
    const Signature &s = make_signature<Body>(name, true, params);
    py::str text(parameter_text(s));
    py::str qualname(py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name);
    py::object module_name = module.attr("__name__");
    py::object doc_text = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::str name_text(name);
    FunctionObject *f = PyObject_New(FunctionObject, function_type());
    if (!f) throw py::error_already_set();
    // Nothing below can fail, so the object is never seen half filled.
    f->vectorcall = &call_function<Body>;
    f->name = name_text.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = module_name.release().ptr();
    f->doc = doc_text.release().ptr();
    f->text_signature = text.release().ptr();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
}

}  // namespace detail

// cls.name = an operation running Body(self, args).
template <MethodBody Body>
py::object def(py::handle cls, py::handle module, const char *name,
               std::initializer_list<Param> params = {}, const char *doc = nullptr) {
    py::object fn = detail::make_method<Body>(cls, module, name, params, doc);
    py::setattr(cls, name, fn);
    return fn;
}

// cls.name = staticmethod running Body(args).
template <StaticBody Body>
py::object def_static(py::handle cls, py::handle module, const char *name,
                      std::initializer_list<Param> params = {}, const char *doc = nullptr) {
    py::object fn = detail::make_function<Body>(module, name, false, params, doc,
                                                &detail::call<Body>);
    PyObject *sm = PyStaticMethod_New(fn.ptr());
    if (!sm) throw py::error_already_set();
    py::setattr(cls, name, py::reinterpret_steal<py::object>(sm));
    return fn;
}

// cls.name = property(Get, Set); Get(self), Set(self, value).
template <MethodBody Get, MethodBody Set>
void def_property(py::handle cls, py::handle module, const char *name, const char *doc) {
    py::object fget = detail::make_function<Get>(module, name, true, {}, doc, &detail::call<Get>);
    py::object fset = detail::make_function<Set>(module, name, true, {arg("value")}, doc,
                                                 &detail::call<Set>);
    py::object property = py::module_::import("builtins").attr("property");
    py::setattr(cls, name, property(fget, fset, py::none(), doc ? py::str(doc) : py::str("")));
}

}  // namespace pyclass
#pragma GCC visibility pop

// Internal interface of the classregistry extension module.
#pragma once

#include "../pyclass.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace classregistry {

using pyclass::Args;

// Interned strings and keyword tuples, made once at load so that the hot
// paths create no Python strings per call.
struct Names {
    py::object data, cls, path, single_rp, linux_os;
    py::object plugins_attr, supported_os, supported_chassis, chassis_type_list;
    py::object log, debug, warning, getfile, iter_entry_points, entrypoint_group;
    py::object pkgutil, importlib, os, connection_infra_error;
    py::object empty, newline, child_prefix, joint, connector, indent;
    py::object newline_connector, newline_indent;
    // keyword names of the calls from one operation to another
    py::object kw_os_platform_model, kw_platform_os, kw_os, kw_chassis_type, kw_data_output;
    py::object dunder_name, dunder_module, dunder_file;
    py::object override_start, override_middle, override_end, comma_space, open_bracket,
        close_bracket, quote;
    // inspect.getfile as the module bound it at load; the sys module's dict
    py::object inspect_getfile, sys_dict, modules;
};
extern Names *g_names;  // made at load, lives as long as the process
inline const Names &names() { return *g_names; }

// One operation of ClassRegistry: its name and the object stored on the
// class, so that a call can tell whether `self.<name>` is still that one.
struct Op {
    py::object name;
    py::object impl;
};

// Operations that one call site runs directly when none is overridden.
struct OpSet {
    std::vector<const Op *> members;
    // Bit n set: a member's name is n characters long (n < 64), so that
    // most instance attributes are told apart by their length alone.
    std::uint64_t name_lengths = 0;
    void set(std::initializer_list<const Op *> ops);
};

struct Ops {
    Op validate_model, validate_platform, validate_os, validate_chassis_type, validate_arguments,
        print_tree;
    OpSet validation;  // validate_arguments and the four validators
    OpSet validators;  // the four validators
    OpSet arguments;   // validate_arguments
    OpSet rendering;   // print_tree
};
extern Ops *g_ops;  // made at load, lives as long as the process
inline Ops &ops() { return *g_ops; }

// True when `self.<name>` resolves, for every member, to the operation as
// the class defines it: no subclass override, no patch on the class or the
// instance, no custom attribute access. Then the C++ body may run directly;
// otherwise the call goes through the object. Asked afresh at every call:
// nothing is remembered between calls.
bool runs_own(py::handle self, const OpSet &which);

// `getattr(self, name)`.
py::object attr_of(py::handle self, py::handle name);

// `self.<op>(*args)`, the last `len(kwnames)` arguments passed by keyword.
py::object call_op(py::handle self, const Op &op, std::initializer_list<py::handle> args,
                   py::handle kwnames = py::handle());

// `self.<op>` looked up on its own, and a call of what it gave: for call
// sites where Python looks the method up before evaluating the arguments.
py::object bound_op(py::handle self, const Op &op);
py::object call_bound(py::handle method, std::initializer_list<py::handle> args,
                      py::handle kwnames = py::handle());

// The module object, kept from init on (the module is never unloaded).
void set_module(py::handle m);

// A module attribute looked up at call time, so that patching it works.
py::object module_attr(py::handle name);

// Python's `from module import a, b`: the named attributes of the imported
// module, ImportError for one that is missing.
std::vector<py::object> import_names(const char *module, std::initializer_list<const char *> which);

// `log.<level>(message)` on the module's logger, looked up at call time.
void log_line(py::handle level, py::handle message);

// The module's `getfile(cls)`. While that is still inspect.getfile and
// `cls` a class whose metaclass is `type`, inspect.getfile's steps are
// taken here: the `__file__` (a non-empty str) in the dict of the module
// that sys.modules holds under the class's `__module__`. Anything else is
// left to the call.
py::object class_file(py::handle cls);

// The concatenation of strs (exact or not) as one exact str.
py::object join_texts(std::initializer_list<py::handle> pieces);

// Python's `container[key] = value`, directly for an exact dict.
inline void set_item(py::handle container, py::handle key, py::handle value) {
    const int r = PyDict_CheckExact(container.ptr())
                      ? PyDict_SetItem(container.ptr(), key.ptr(), value.ptr())
                      : PyObject_SetItem(container.ptr(), key.ptr(), value.ptr());
    if (r < 0) throw py::error_already_set();
}

// Python's `raise ConnectionInfraError(message)`, with the class looked up
// on the module at call time.
[[noreturn]] void raise_infra(const py::object &message);

// Python's truth value, answered directly for None, an exact str, an
// exact dict and a class whose metaclass is `type` (always true).
inline bool is_true(py::handle x) {
    PyObject *p = x.ptr();
    if (p == Py_None) return false;
    if (PyUnicode_CheckExact(p)) return PyUnicode_GET_LENGTH(p) != 0;
    if (PyDict_CheckExact(p)) return PyDict_GET_SIZE(p) != 0;
    if (Py_TYPE(p) == &PyType_Type) return true;
    return pyclass::truth(x);
}

// Fills in the canonical form of a str made through the legacy API (only
// interpreters before 3.12 have such strs).
inline void make_ready(PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
#else
    (void)s;
#endif
}

// Two exact strs with the same text (no Python comparison involved). As
// CPython compares them: strs are stored in their narrowest width, so texts
// of different widths differ.
__attribute__((always_inline)) inline bool same_text(py::handle a, py::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    make_ready(x);
    make_ready(y);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    if (n != PyUnicode_GET_LENGTH(y)) return false;
    const int kind = PyUnicode_KIND(x);
    if (kind != static_cast<int>(PyUnicode_KIND(y))) return false;
    const auto *p = static_cast<const unsigned char *>(PyUnicode_DATA(x));
    const auto *q = static_cast<const unsigned char *>(PyUnicode_DATA(y));
    // Names that differ mostly differ at once: spare those the library call.
    if (n == 0) return true;
    if (p[0] != q[0]) return false;
    return std::memcmp(p, q, static_cast<std::size_t>(n) * kind) == 0;
}

// Python's `item in container`; for an exact list and an exact str the
// elements that are exact strs are compared directly.
bool contains(py::handle container, py::handle item);

// Python's `a + b`, with a direct path for two exact strings.
py::object concat(py::handle a, py::handle b);

// Validation: the C++ bodies of the validators, and validate_arguments as
// registration and lookup call it (through the object unless unmodified).
void validate_model(py::handle self, py::handle os, py::handle platform, py::handle model);
void validate_platform(py::handle self, py::handle os, py::handle platform);
void validate_os(py::handle self, py::handle os);
void validate_chassis_type(py::handle self, py::handle chassis_type);
void validate_arguments(py::handle self, py::handle os, py::handle platform, py::handle model,
                        py::handle chassis_type);
void call_validate_arguments(py::handle self, py::handle os, py::handle platform, py::handle model,
                             py::handle chassis_type);

// The lookup path of registration, unregistration and lookup: [os],
// [os, platform] or [os, platform, model] (borrowed components).
struct LookupPath {
    py::handle parts[3];
    int size = 0;
    LookupPath(py::handle os, py::handle platform, py::handle model);
    py::list as_list() const;
    // Rejects a platform or model named "data", which would lead the walk
    // into a data map. Inline: every lookup asks it.
    void reject_reserved() const {
        if (size > 1 && is_reserved(parts[1])) reject_platform();
        if (size > 2 && is_reserved(parts[2])) reject_model();
    }

private:
    static bool is_reserved(py::handle component) {
        if (component.is_none()) return false;
        if (PyUnicode_CheckExact(component.ptr())) return same_text(component, names().data);
        return is_data(component);
    }
    // `component == "data"`, for a component that is no exact str.
    static bool is_data(py::handle component);
    [[noreturn]] static void reject_platform();
    [[noreturn]] static void reject_model();
};

// child_of for a node that is no exact dict.
py::object child_of_mapping(py::handle node, py::handle key);

// Python's `key in node` followed by `node[key]`: the child, or a null
// object when the node has no such key. Inline: the walk takes this step
// at every level.
inline py::object child_of(py::handle node, py::handle key) {
    if (!PyDict_CheckExact(node.ptr())) return child_of_mapping(node, key);
    PyObject *v = PyDict_GetItemWithError(node.ptr(), key.ptr());
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::object();
}

// Loaded at module init: the pkg_resources entry-point iterator, or a
// stand-in over importlib.metadata where pkg_resources cannot be imported.
py::object load_iter_entry_points(py::module_ &m);

// Each file adds its operations to the class, in the order of declaration.
void add_init_and_plugins(py::module_ &m, py::handle cls);
void add_validation(py::module_ &m, py::handle cls);
void add_lookup(py::module_ &m, py::handle cls);
void add_registration(py::module_ &m, py::handle cls);
void add_discovery(py::module_ &m, py::handle cls);
void add_rendering(py::module_ &m, py::handle cls);

}  // namespace classregistry

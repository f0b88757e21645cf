// Helpers shared by the operations: dispatch through the object, module
// attributes at call time, the registry's error, Python's `+` and imports.
#include "classregistry.hpp"

namespace classregistry {

namespace pc = pyclass;

namespace {
PyObject *g_module = nullptr;  // borrowed: the module outlives every call
}  // namespace

void set_module(py::handle m) { g_module = m.ptr(); }

py::object module_attr(py::handle name) {
    // An exact module's attributes are its dict's entries (ModuleType
    // defines none of the names used here); a missing one is left to
    // getattr (module __getattr__, the AttributeError).
    if (PyModule_CheckExact(g_module)) {
        PyObject *v = PyDict_GetItemWithError(PyModule_GetDict(g_module), name.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *v = PyObject_GetAttr(g_module, name.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

bool contains(py::handle container, py::handle item) {
    PyObject *list = container.ptr();
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(item.ptr()))
        return pc::contains(container, item);
    // As list.__contains__: each element compared with `element == item`,
    // the size read afresh since a comparison may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *element = PyList_GET_ITEM(list, i);
        if (element == item.ptr()) return true;
        if (PyUnicode_CheckExact(element)) {
            if (same_text(element, item)) return true;
            continue;
        }
        py::object held = py::reinterpret_borrow<py::object>(element);
        const int r = PyObject_RichCompareBool(element, item.ptr(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

namespace {

// `type`'s own attribute access. The caller has checked that the metatype
// is exactly `type`, so calling it is what getattr would do, without the
// dispatch in front. Interpreters before 3.10 read no slot of a static type.
getattrofunc type_getattr() {
#if PY_VERSION_HEX >= 0x030A0000
    static const auto getattr = reinterpret_cast<getattrofunc>(
        PyType_GetSlot(&PyType_Type, Py_tp_getattro));
    if (getattr) return getattr;
#endif
    return PyObject_GetAttr;
}

// `getattr(type, op.name) is op.impl` for every member: no subclass
// overrides one, nothing patched one on the class. Reading an operation
// from its class gives the operation itself.
bool class_runs_own(PyTypeObject *type, const OpSet &which) {
    const getattrofunc getattr = type_getattr();
    for (const Op *op : which.members) {
        PyObject *found = getattr(reinterpret_cast<PyObject *>(type), op->name.ptr());
        if (!found) {
            // No such operation (an object that is no registry): the call
            // through the object raises the error Python would.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            return false;
        }
        Py_DECREF(found);  // the class still holds it: only its identity is compared
        if (found != op->impl.ptr()) return false;
    }
    return true;
}

// No instance attribute shadows a member.
bool dict_runs_own(py::handle dict, const OpSet &which) {
    // The instance dict is small, so one pass over it beats a lookup per
    // name; a key that is not an exact str might compare equal in its own way.
    // Nothing here runs Python code, so the dict keeps its size: once that
    // many entries are seen, the walk to the table's end is spared.
    Py_ssize_t left = PyDict_Size(dict.ptr());
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (; left > 0 && PyDict_Next(dict.ptr(), &pos, &key, &value); --left) {
        if (!PyUnicode_CheckExact(key)) return false;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        if (length < 64 && !((which.name_lengths >> length) & 1)) continue;
        for (const Op *op : which.members)
            if (same_text(key, op->name)) return false;
    }
    return true;
}

}  // namespace

void OpSet::set(std::initializer_list<const Op *> ops) {
    members.assign(ops);
    for (const Op *op : members) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(op->name.ptr());
        name_lengths |= length < 64 ? std::uint64_t{1} << length : 0;
    }
}

bool runs_own(py::handle self, const OpSet &which) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    // Only a class made by `type` (a heap type, whose slots PyType_GetSlot
    // reads on every version) with Python's own attribute access: a custom
    // metaclass, __getattribute__ or __getattr__ may answer differently.
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || Py_TYPE(type) != &PyType_Type)
        return false;
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void *>(PyObject_GenericGetAttr))
        return false;
    if (!class_runs_own(type, which)) return false;
    PyObject *d = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!d) {
        // An object without a __dict__ cannot shadow the class.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return true;
    }
    return dict_runs_own(py::reinterpret_steal<py::object>(d), which);
}

py::object attr_of(py::handle self, py::handle name) {
    PyObject *v = PyObject_GetAttr(self.ptr(), name.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

py::object bound_op(py::handle self, const Op &op) {
    PyObject *method = PyObject_GetAttr(self.ptr(), op.name.ptr());
    if (!method) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(method);
}

py::object call_bound(py::handle method, std::initializer_list<py::handle> args,
                      py::handle kwnames) {
    PyObject *stack[1 + 6] = {nullptr};
    std::size_t n = 1;
    for (py::handle a : args) stack[n++] = a.ptr();
    const std::size_t keywords = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()))
                                         : 0;
    PyObject *r = PyObject_Vectorcall(method.ptr(), stack + 1,
                                      (args.size() - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames ? kwnames.ptr() : nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object call_op(py::handle self, const Op &op, std::initializer_list<py::handle> args,
                   py::handle kwnames) {
    // One spare slot in front lets the callee prepend a bound self cheaply.
    PyObject *stack[2 + 6] = {nullptr, self.ptr()};
    std::size_t n = 2;
    for (py::handle a : args) stack[n++] = a.ptr();
    const std::size_t keywords = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr()))
                                         : 0;
    const std::size_t positional = 1 + args.size() - keywords;
    PyObject *r = PyObject_VectorcallMethod(op.name.ptr(), stack + 1,
                                            positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            kwnames ? kwnames.ptr() : nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void log_line(py::handle level, py::handle message) {
    py::object log = module_attr(names().log);
    // The spare slot in front lets the callee prepend a bound self cheaply.
    PyObject *stack[3] = {nullptr, log.ptr(), message.ptr()};
    PyObject *r = PyObject_VectorcallMethod(level.ptr(), stack + 1,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) throw py::error_already_set();
    py::object discarded = py::reinterpret_steal<py::object>(r);
}

namespace {

// inspect.getfile's answer for a plain class, or a null object where
// anything differs from the plain case. An error in a step that
// inspect.getfile takes as well propagates.
py::object plain_class_file(py::handle cls) {
    const Names &n = names();
    if (Py_TYPE(cls.ptr()) != &PyType_Type ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(cls.ptr()), Py_TPFLAGS_HEAPTYPE))
        return py::object();
    // A class made by `type` has __module__ (type's own attribute reads it
    // from the class's namespace); anything unusual is left to the call.
    PyObject *module_name = PyObject_GetAttr(cls.ptr(), n.dunder_module.ptr());
    if (!module_name) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    py::object held_name = py::reinterpret_steal<py::object>(module_name);
    if (!PyUnicode_CheckExact(module_name)) return py::object();
    // sys.modules, as the sys module holds it now.
    PyObject *modules = PyDict_GetItemWithError(n.sys_dict.ptr(), n.modules.ptr());
    if (!modules) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    if (!PyDict_CheckExact(modules)) return py::object();
    PyObject *module = PyDict_GetItemWithError(modules, module_name);
    if (!module) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    // An exact module's attribute is its dict's entry (ModuleType defines
    // no __file__); a missing one is left to the call (module __getattr__).
    if (!PyModule_CheckExact(module)) return py::object();
    PyObject *file = PyDict_GetItemWithError(PyModule_GetDict(module), n.dunder_file.ptr());
    if (!file) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    if (!PyUnicode_CheckExact(file) || PyUnicode_GET_LENGTH(file) == 0) return py::object();
    return py::reinterpret_borrow<py::object>(file);
}

}  // namespace

py::object class_file(py::handle cls) {
    py::object getfile = module_attr(names().getfile);
    if (getfile.ptr() == names().inspect_getfile.ptr()) {
        if (py::object file = plain_class_file(cls)) return file;
    }
    PyObject *r = PyObject_CallOneArg(getfile.ptr(), cls.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object join_texts(std::initializer_list<py::handle> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (py::handle piece : pieces) {
        PyObject *s = piece.ptr();
        if (!PyUnicode_Check(s)) {
            PyErr_SetString(PyExc_TypeError, "can only join str");
            throw py::error_already_set();
        }
        make_ready(s);
        length += PyUnicode_GET_LENGTH(s);
        if (PyUnicode_MAX_CHAR_VALUE(s) > widest) widest = PyUnicode_MAX_CHAR_VALUE(s);
    }
    PyObject *joined = PyUnicode_New(length, widest);
    if (!joined) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(joined);
    const int kind = PyUnicode_KIND(joined);
    char *data = static_cast<char *>(PyUnicode_DATA(joined));
    Py_ssize_t at = 0;
    for (py::handle piece : pieces) {
        PyObject *s = piece.ptr();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (static_cast<int>(PyUnicode_KIND(s)) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(s), static_cast<std::size_t>(n) * kind);
        else if (PyUnicode_CopyCharacters(joined, at, s, 0, n) < 0)
            throw py::error_already_set();
        at += n;
    }
    return result;
}

void raise_infra(const py::object &message) {
    py::object error_type = module_attr(names().connection_infra_error);
    PyObject *e = PyObject_CallOneArg(error_type.ptr(), message.ptr());
    if (!e) throw py::error_already_set();
    py::object error = py::reinterpret_steal<py::object>(e);
    // As `raise error_type(message)`: an instance is raised as it is, a class
    // is instantiated, anything else is a TypeError.
    if (PyExceptionInstance_Check(error.ptr()))
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    else if (PyExceptionClass_Check(error.ptr()))
        PyErr_SetNone(error.ptr());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw py::error_already_set();
}

py::object concat(py::handle a, py::handle b) {
    PyObject *r = PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())
                      ? PyUnicode_Concat(a.ptr(), b.ptr())
                      : PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

std::vector<py::object> import_names(const char *module,
                                     std::initializer_list<const char *> which) {
    py::list fromlist;
    for (const char *name : which) fromlist.append(py::str(name));
    PyObject *m = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!m) throw py::error_already_set();
    py::object mod = py::reinterpret_steal<py::object>(m);
    std::vector<py::object> found;
    for (const char *name : which) {
        PyObject *v = PyObject_GetAttrString(mod.ptr(), name);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            throw py::error_already_set();
        }
        found.push_back(py::reinterpret_steal<py::object>(v));
    }
    return found;
}

}  // namespace classregistry

// Lookup: the class registered for a chassis type at the deepest node that
// a device's description reaches, without backing off to a shallower node.
#include "classregistry.hpp"

namespace classregistry {

namespace pc = pyclass;

namespace {

// The path's components are joined by their string forms: a registration
// may use any value (an OS given as 3), and the lookup that misses it must
// still end in the registry's own error.
[[noreturn]] void not_found(const LookupPath &from_path, py::handle chassis_type) {
    py::list texts;
    for (int i = 0; i < from_path.size; ++i) texts.append(pc::str(from_path.parts[i]));
    py::object joined = py::reinterpret_steal<py::object>(
        PyUnicode_Join(py::str("/").ptr(), texts.ptr()));
    if (!joined) throw py::error_already_set();
    py::object message = concat(py::str("Plugin data not found for ("), joined);
    message = concat(message, py::str("), type: "));
    message = concat(message, pc::str(chassis_type));
    raise_infra(concat(message, py::str(" ")));
}

py::object get_plugin(py::handle self, const Args &a) {
    const Names &n = names();
    py::handle chassis_type = a[3];
    call_validate_arguments(self, a[0], a[1], a[2], chassis_type);
    LookupPath from_path(a[0], a[1], a[2]);
    from_path.reject_reserved();

    py::object node = attr_of(self, names().plugins_attr);
    for (int i = 0; i < from_path.size; ++i) {
        py::object next = child_of(node, from_path.parts[i]);
        if (!next) break;
        node = next;
    }
    if (py::object data = child_of(node, n.data)) {
        if (py::object leaf = child_of(data, chassis_type)) {
            if (PyDict_CheckExact(leaf.ptr())) {
                PyObject *cls = PyDict_GetItemWithError(leaf.ptr(), n.cls.ptr());
                if (cls) return py::reinterpret_borrow<py::object>(cls);
                if (PyErr_Occurred()) throw py::error_already_set();
            }
            return leaf[n.cls];
        }
    }
    not_found(from_path, chassis_type);
}

}  // namespace

void add_lookup(py::module_ &m, py::handle cls) {
    using pc::arg;
    py::object none = py::none();
    pc::def<get_plugin>(cls, m, "get_plugin",
                        {arg("os", none), arg("platform", none), arg("model", none),
                         arg("chassis_type", names().single_rp)},
                        "The class registered for the chassis type at the deepest node that "
                        "OS, platform and model reach.");
}

}  // namespace classregistry

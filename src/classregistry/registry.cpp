// The registry tree: construction, the read-only `plugins` view, the lookup
// path, and registration and unregistration of connection classes.
#include "classregistry.hpp"

#include <cstring>

namespace classregistry {

namespace pc = pyclass;

LookupPath::LookupPath(py::handle os, py::handle platform, py::handle model) {
    parts[0] = os;
    if (!model.is_none()) {
        parts[1] = platform;
        parts[2] = model;
        size = 3;
    } else if (platform.is_none()) {
        size = 1;
    } else {
        parts[1] = platform;
        size = 2;
    }
}

py::list LookupPath::as_list() const {
    py::list path;
    for (int i = 0; i < size; ++i) path.append(parts[i]);
    return path;
}

bool LookupPath::is_data(py::handle component) { return pc::equals(component, names().data); }

void LookupPath::reject_platform() {
    raise_infra(py::str("platform 'data' is reserved for the registry's data map"));
}

void LookupPath::reject_model() {
    raise_infra(py::str("model 'data' is reserved for the registry's data map"));
}

py::object child_of_mapping(py::handle node, py::handle key) {
    if (!pc::contains(node, key)) return py::object();
    return node[key];
}

namespace {

py::object init(py::handle self, const Args &) {
    const Names &n = names();
    py::setattr(self, n.plugins_attr, py::dict());
    py::setattr(self, n.chassis_type_list, module_attr(n.supported_chassis));
    py::setattr(self, n.supported_os, module_attr(n.supported_os));
    return py::none();
}

py::object get_plugins(py::handle self, const Args &) {
    return attr_of(self, names().plugins_attr);
}

py::object set_plugins(py::handle, const Args &) {
    pc::raise(PyExc_Exception, " Protected Member, cannot modify Plugins");
}

py::object format_field(py::handle value) {
    PyObject *r = PyObject_Format(value.ptr(), names().empty.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// Whether repr() of an exact str is the text itself in single quotes:
// printable ASCII without quote or backslash (nothing to escape).
bool plain_repr(py::handle text) {
    PyObject *s = text.ptr();
    make_ready(s);
    if (!PyUnicode_IS_ASCII(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (c[i] < 0x20 || c[i] >= 0x7f || c[i] == '\'' || c[i] == '\\') return false;
    return true;
}

// `cls.__name__`
py::object class_name(py::handle cls) { return attr_of(cls, names().dunder_name); }

// " {} already registered for {}, {} is overriding this class", filled as
// str.format fills it: the class names, and the lookup path as str(list)
// shows it (each component's repr between brackets), written piece by
// piece when every component is an exact str.
void warn_override(py::handle existing_cls, const LookupPath &path, py::handle cls) {
    const Names &n = names();
    // The arguments are read first (both names), then formatted in order.
    py::object old_name = class_name(existing_cls);
    py::object new_name = class_name(cls);
    old_name = format_field(old_name);
    bool exact = true;
    for (int i = 0; i < path.size; ++i) exact = exact && PyUnicode_CheckExact(path.parts[i].ptr());
    py::object message;
    if (!exact) {
        py::object where = format_field(path.as_list());
        message = join_texts({n.override_start, old_name, n.override_middle, where, n.comma_space,
                              format_field(new_name), n.override_end});
    } else {
        // Each component as ', ' (not before the first), then its repr: the
        // text between quotes, or repr() where something needs escaping.
        py::object reprs[3];
        py::handle parts[3][4];
        for (int i = 0; i < path.size; ++i) {
            py::handle separator = i ? py::handle(n.comma_space) : py::handle(n.empty);
            if (plain_repr(path.parts[i])) {
                parts[i][0] = separator, parts[i][1] = n.quote, parts[i][2] = path.parts[i],
                parts[i][3] = n.quote;
            } else {
                PyObject *r = PyObject_Repr(path.parts[i].ptr());
                if (!r) throw py::error_already_set();
                reprs[i] = py::reinterpret_steal<py::object>(r);
                parts[i][0] = separator, parts[i][1] = n.empty, parts[i][2] = reprs[i],
                parts[i][3] = n.empty;
            }
        }
        for (int i = path.size; i < 3; ++i)
            parts[i][0] = parts[i][1] = parts[i][2] = parts[i][3] = n.empty;
        new_name = format_field(new_name);
        message = join_texts({n.override_start, old_name,      n.override_middle, n.open_bracket,
                              parts[0][0],      parts[0][1],   parts[0][2],       parts[0][3],
                              parts[1][0],      parts[1][1],   parts[1][2],       parts[1][3],
                              parts[2][0],      parts[2][1],   parts[2][2],       parts[2][3],
                              n.close_bracket,  n.comma_space, new_name,          n.override_end});
    }
    log_line(n.warning, message);
}

py::object register_plugin(py::handle self, const Args &a) {
    const Names &n = names();
    py::handle cls = a[0], chassis_type = a[4];
    call_validate_arguments(self, a[1], a[2], a[3], chassis_type);
    LookupPath path(a[1], a[2], a[3]);
    path.reject_reserved();

    py::object node = attr_of(self, names().plugins_attr);
    for (int i = 0; i < path.size; ++i) {
        py::object next = child_of(node, path.parts[i]);
        if (!next) {
            set_item(node, path.parts[i], py::dict());
            next = node[path.parts[i]];
        }
        node = next;
    }
    py::object class_path = class_file(cls);

    py::dict leaf;
    set_item(leaf, n.cls, cls);
    set_item(leaf, n.path, class_path);
    py::object data = child_of(node, n.data);
    if (data) {
        py::object existing = child_of(data, chassis_type);
        if (existing) warn_override(existing[n.cls], path, cls);
        set_item(data, chassis_type, leaf);
        set_item(node, n.data, data);
    } else {
        py::dict fresh;
        set_item(fresh, chassis_type, leaf);
        set_item(node, n.data, fresh);
    }
    return py::none();
}

py::object unregister_plugin(py::handle self, const Args &a) {
    const Names &n = names();
    py::handle chassis_type = a[3];
    call_validate_arguments(self, a[0], a[1], a[2], n.single_rp);
    LookupPath path(a[0], a[1], a[2]);
    path.reject_reserved();

    py::object node = attr_of(self, names().plugins_attr);
    for (int i = 0; i < path.size; ++i) {
        py::object next = child_of(node, path.parts[i]);
        if (!next) raise_infra(py::str("Plugin data not found"));
        node = next;
    }
    if (chassis_type.is_none()) {
        if (!pc::contains(node, n.data)) raise_infra(py::str("Plugin data not found"));
        if (PyObject_DelItem(node.ptr(), n.data.ptr()) < 0) throw py::error_already_set();
        return py::none();
    }
    py::object data = child_of(node, n.data);
    if (!data) raise_infra(py::str("Plugin data not found"));
    if (!pc::contains(data, chassis_type))
        raise_infra(pc::percent_s("Plugin data not found for %s", chassis_type));
    if (PyObject_DelItem(data.ptr(), chassis_type.ptr()) < 0) throw py::error_already_set();
    return py::none();
}

}  // namespace

void add_init_and_plugins(py::module_ &m, py::handle cls) {
    pc::def<init>(cls, m, "__init__", {}, "A registry with an empty tree.");
    pc::def_property<get_plugins, set_plugins>(
        cls, m, "plugins", "The registry tree itself (read-only: assignment is refused).");
}

void add_registration(py::module_ &m, py::handle cls) {
    using pc::arg;
    py::object none = py::none();
    pc::def<unregister_plugin>(
        cls, m, "unregister_plugin",
        {arg("os", none), arg("platform", none), arg("model", none), arg("chassis_type", none)},
        "Remove the class of one chassis type, or without a chassis type every class, "
        "at the node of the lookup path.");
    pc::def<register_plugin>(cls, m, "register_plugin",
                             {arg("cls"), arg("os", none), arg("platform", none),
                              arg("model", none), arg("chassis_type", names().single_rp)},
                             "Register `cls` for a chassis type at the node of the lookup path; "
                             "the last registration wins.");
}

}  // namespace classregistry

// Discovery: importing the modules of the built-in plug-in package and the
// external plug-ins published under the entry-point group.
#include "classregistry.hpp"

namespace classregistry {

namespace pc = pyclass;

namespace {

// `first, second, third = item`, with Python's unpacking errors.
py::object second_of_three(py::handle item) {
    py::iterator it = py::iter(item);
    py::object values[3];
    int got = 0;
    for (; got < 3 && it != py::iterator::sentinel(); ++it)
        values[got++] = py::reinterpret_borrow<py::object>(*it);
    if (got < 3) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", got);
        throw py::error_already_set();
    }
    if (it != py::iterator::sentinel()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        throw py::error_already_set();
    }
    return values[1];
}

bool ends_with_tests(py::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        py::str suffix("tests");
        Py_ssize_t r = PyUnicode_Tailmatch(name.ptr(), suffix.ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    }
    return pc::truth(name.attr("endswith")("tests"));
}

py::object discover_builtin_plugins(const Args &) {
    const Names &n = names();
    py::object plugins_path, quorvi_name;
    try {
        std::vector<py::object> found = import_names("quorvi.plugins", {"__path__", "__name__"});
        plugins_path = found[0];
        quorvi_name = found[1];
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        std::vector<py::object> found = import_names("quorvi.plugins", {"__file__", "__name__"});
        py::object directory = module_attr(n.os).attr("path").attr("dirname")(found[0]);
        py::list one_directory;
        one_directory.append(directory);
        plugins_path = one_directory;
        quorvi_name = found[1];
    }

    py::object walk = module_attr(n.pkgutil).attr("walk_packages")(
        plugins_path, concat(quorvi_name, py::str(".")));
    py::str plugins_part(".plugins."), tests_part(".tests.");
    for (py::handle item : walk) {
        py::object name = second_of_three(item);
        if (!pc::contains(name, plugins_part)) continue;
        if (pc::contains(name, tests_part)) continue;
        if (ends_with_tests(name)) continue;
        module_attr(n.importlib).attr("import_module")(name);
    }
    return py::none();
}

py::object discover_external_plugins(const Args &) {
    const Names &n = names();
    py::object entry_points = module_attr(n.iter_entry_points)(
        py::arg("group") = module_attr(n.entrypoint_group));
    for (py::handle plugin : entry_points) {
        py::object line = concat(py::str("Loading external plugin "), pc::str(plugin.attr("name")));
        line = concat(line, py::str(" from "));
        line = concat(line, pc::str(plugin.attr("module_name")));
        module_attr(n.log).attr(n.debug)(line);
        plugin.attr("load")();
    }
    return py::none();
}

// Where pkg_resources is gone: its iter_entry_points over importlib.metadata,
// each entry point with `name`, `module_name` and `load()`.
py::object iter_entry_points_fallback(const Args &a) {
    py::handle group = a[0], name = a[1];
    py::module_ metadata = py::module_::import("importlib.metadata");
#if PY_VERSION_HEX >= 0x030A0000
    py::object found = metadata.attr("entry_points")(py::arg("group") = group);
#else
    py::object found = metadata.attr("entry_points")().attr("get")(group, py::tuple());
#endif
    py::object namespace_type = py::module_::import("types").attr("SimpleNamespace");
    py::list entry_points;
    for (py::handle ep : found) {
        py::object ep_name = ep.attr("name");
        if (!name.is_none() && !pc::equals(ep_name, name)) continue;
        py::object module_name = pc::has_attr(ep, "module")
                                     ? ep.attr("module")
                                     : ep.attr("value").attr("split")(":")[py::int_(0)].attr(
                                           "strip")();
        entry_points.append(namespace_type(py::arg("name") = ep_name,
                                           py::arg("module_name") = module_name,
                                           py::arg("load") = ep.attr("load")));
    }
    return py::iter(entry_points);
}

}  // namespace

py::object load_iter_entry_points(py::module_ &m) {
    // pkg_resources warns about its own deprecation when imported; the
    // registry's users should not see that.
    py::module_ warnings = py::module_::import("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    py::object found;
    try {
        warnings.attr("simplefilter")("ignore");
        found = import_names("pkg_resources", {"iter_entry_points"})[0];
    } catch (py::error_already_set &e) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        if (!e.matches(PyExc_ImportError)) throw;
        return pc::detail::make_function<iter_entry_points_fallback>(
            m, "iter_entry_points", false, {pc::arg("group"), pc::arg("name", py::none())},
            "Entry points of `group` (optionally only those called `name`).",
            &pc::detail::call_static<iter_entry_points_fallback>);
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return found;
}

void add_discovery(py::module_ &m, py::handle cls) {
    pc::def_static<discover_builtin_plugins>(
        cls, m, "discover_builtin_plugins", {},
        "Import every module of the built-in plug-in package, test modules excepted.");
    pc::def_static<discover_external_plugins>(
        cls, m, "discover_external_plugins", {},
        "Load every entry point of the group ENTRYPOINT_GROUP.");
}

}  // namespace classregistry

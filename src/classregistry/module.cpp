// Module init: binds the framework names the registry uses, in load order,
// and creates the ClassRegistry class.
#include "classregistry.hpp"

namespace classregistry {

namespace {

py::object intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

Names *make_names() {
    auto *n = new Names;
    n->data = intern("data");
    n->cls = intern("cls");
    n->path = intern("path");
    n->single_rp = intern("single_rp");
    n->linux_os = intern("linux");
    n->plugins_attr = intern("_plugins");
    n->supported_os = intern("supported_os");
    n->supported_chassis = intern("supported_chassis");
    n->chassis_type_list = intern("chassis_type_list");
    n->log = intern("log");
    n->debug = intern("debug");
    n->warning = intern("warning");
    n->getfile = intern("getfile");
    n->iter_entry_points = intern("iter_entry_points");
    n->entrypoint_group = intern("ENTRYPOINT_GROUP");
    n->pkgutil = intern("pkgutil");
    n->importlib = intern("importlib");
    n->os = intern("os");
    n->connection_infra_error = intern("ConnectionInfraError");
    n->empty = intern("");
    n->newline = intern("\n");
    n->child_prefix = intern("__ ");
    n->joint = intern(" = ");
    n->connector = intern("  |");
    n->indent = intern("  ");
    n->newline_connector = intern("\n  |");
    n->newline_indent = intern("\n  ");
    n->kw_os_platform_model = py::make_tuple(intern("os"), intern("platform"), intern("model"));
    n->kw_platform_os = py::make_tuple(intern("platform"), intern("os"));
    n->kw_os = py::make_tuple(intern("os"));
    n->kw_chassis_type = py::make_tuple(intern("chassis_type"));
    n->kw_data_output = py::make_tuple(intern("data"), intern("output"));
    n->dunder_name = intern("__name__");
    n->dunder_module = intern("__module__");
    n->dunder_file = intern("__file__");
    n->override_start = intern(" ");
    n->override_middle = intern(" already registered for ");
    n->override_end = intern(" is overriding this class");
    n->comma_space = intern(", ");
    n->modules = intern("modules");
    n->open_bracket = intern("[");
    n->close_bracket = intern("]");
    n->quote = intern("'");
    return n;
}

Op own_op(py::handle cls, const char *name) {
    py::object key = intern(name);
    return Op{key, py::reinterpret_borrow<py::object>(cls.attr("__dict__")[key])};
}

}  // namespace

Names *g_names = nullptr;
Ops *g_ops = nullptr;

}  // namespace classregistry

PYBIND11_MODULE(classregistry, m) {
    using namespace classregistry;
    namespace pc = pyclass;
    // A load that failed part way is retried by the next import; the names
    // made by an earlier attempt serve it unchanged.
    if (!g_names) g_names = make_names();
    set_module(m);

    m.attr("os") = py::module_::import("os");
    m.attr("pkgutil") = py::module_::import("pkgutil");
    m.attr("importlib") = py::module_::import("importlib");
    m.attr("log") = import_names("quorvi", {"log"})[0];
    std::vector<py::object> lists = import_names("quorvi.plugins",
                                                 {"supported_chassis", "supported_os"});
    m.attr("supported_chassis") = lists[0];
    m.attr("supported_os") = lists[1];
    g_names->inspect_getfile = import_names("inspect", {"getfile"})[0];
    g_names->sys_dict = py::module_::import("sys").attr("__dict__");
    m.attr("getfile") = g_names->inspect_getfile;
    m.attr("ConnectionInfraError") = import_names("quorvi.core.errors",
                                                  {"ConnectionInfraError"})[0];
    m.attr("iter_entry_points") = load_iter_entry_points(m);
    m.attr("ENTRYPOINT_GROUP") = py::str("quorvi.plugins");

    py::object object = py::module_::import("builtins").attr("object");
    py::object cls = pc::make_class(
        m, "ClassRegistry", py::make_tuple(object),
        "Registry of connection classes keyed by OS, platform, model and chassis type.");
    add_init_and_plugins(m, cls);
    add_validation(m, cls);
    add_lookup(m, cls);
    add_registration(m, cls);
    add_discovery(m, cls);
    add_rendering(m, cls);

    auto *o = new Ops{own_op(cls, "validate_model"),
                      own_op(cls, "validate_platform"),
                      own_op(cls, "validate_os"),
                      own_op(cls, "validate_chassis_type"),
                      own_op(cls, "validate_arguments"),
                      own_op(cls, "print_tree"),
                      {},
                      {},
                      {},
                      {}};
    o->validators.set(
        {&o->validate_model, &o->validate_platform, &o->validate_os, &o->validate_chassis_type});
    o->validation.set({&o->validate_model, &o->validate_platform, &o->validate_os,
                       &o->validate_chassis_type, &o->validate_arguments});
    o->arguments.set({&o->validate_arguments});
    o->rendering.set({&o->print_tree});
    g_ops = o;
}

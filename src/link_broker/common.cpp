// BaseCommonRpLinkBroker: the owning connection, prompt recovery, the
// connection dialog and the initial exec and configuration commands.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

py::object init(py::handle self, const Args &a) {
    py::handle connection = a[0];
    py::setattr(self, "connection", connection);
    py::setattr(self, "prompt_recovery", connection.attr("prompt_recovery"));
    return py::none();
}

py::object get_connection_dialog(py::handle, const Args &) {
    return framework("Dialog")(py::list());
}

// The connection's own list wins (an empty list too); else the settings key
// when present (whatever its value); else a new empty list.
py::object resolve_commands(py::handle con, const char *attr, const char *setting) {
    py::object own = con.attr(attr);
    if (!own.is_none()) return own;
    py::object settings = con.attr("settings");
    if (pc::has_attr(settings, setting)) return settings.attr(setting);
    return py::list();
}

py::object set_init_commands(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::setattr(self, "init_exec_commands",
                resolve_commands(con, "init_exec_commands", "HA_INIT_EXEC_COMMANDS"));
    py::setattr(self, "init_config_commands",
                resolve_commands(con, "init_config_commands", "HA_INIT_CONFIG_COMMANDS"));
    return py::none();
}

py::object execute_init_commands(py::handle self, const Args &a) {
    self.attr("set_init_commands")();
    if (pc::assertions_enabled()) {
        if (!PyList_Check(self.attr("init_exec_commands").ptr()) ||
            !PyList_Check(self.attr("init_config_commands").ptr()))
            pc::raise(PyExc_AssertionError, "Init commands must be a list");
    }
    py::object con = self.attr("connection");
    const bool standby = pc::truth(a[0]);
    // Each call reads the method, then its arguments, as Python does.
    for (py::handle command : self.attr("init_exec_commands")) {
        py::object execute = con.attr("execute");
        py::object prompt_recovery = self.attr("prompt_recovery");
        if (standby)
            execute(command, "prompt_recovery"_a = prompt_recovery, "target"_a = "standby");
        else
            execute(command, "prompt_recovery"_a = prompt_recovery);
    }
    if (!standby) {
        py::object config = self.attr("init_config_commands");
        if (py::len(config) > 0) {
            py::object configure = con.attr("configure");
            configure(config, "prompt_recovery"_a = self.attr("prompt_recovery"));
        }
    }
    return py::none();
}

}  // namespace

void add_common_operations(py::module_ &m, py::handle cls) {
    pc::def<init>(cls, m, "__init__", {pc::arg("connection")},
                  "Keep the owning connection and its prompt recovery setting.");
    pc::def<get_connection_dialog>(cls, m, "get_connection_dialog", {},
                                   "A new, empty connection dialog.");
    pc::def<set_init_commands>(cls, m, "set_init_commands", {},
                               "Resolve the initial exec and configuration command lists.");
    pc::def<execute_init_commands>(cls, m, "execute_init_commands",
                                   {pc::arg("standby", py::bool_(false))},
                                   "Run the initial commands through the connection.");
}

}  // namespace link_broker

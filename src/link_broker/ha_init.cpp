// HA initialisation of BaseMultiRpLinkBroker, run by connect once the
// active and standby handles are designated: initialise the active, unlock
// and resynchronise the standby, initialise the standby, read the
// redundancy mode.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

py::object init_active(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")("+++ initializing active handle +++");
    py::object act_con = con.attr("active");
    go_to_state(act_con, "enable", self);
    self.attr("execute_init_commands")();
    return py::none();
}

py::object unlock_standby(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")("+++ unlocking standby +++");
    py::object configure = con.attr("configure");
    py::object commands = con.attr("settings").attr("HA_STANDBY_UNLOCK_COMMANDS");
    configure(commands, "prompt_recovery"_a = self.attr("prompt_recovery"));

    // The unlock leaves the standby line in an unknown state with stale
    // output: tell its state machine "generic", drop the output, and let
    // go_to find the real state after an empty line.
    py::setattr(con.attr("standby").attr("state_machine"), "_current_state", py::str("generic"));
    py::setattr(con.attr("standby").attr("spawn"), "buffer", py::str(""));
    con.attr("standby").attr("spawn").attr("sendline")();
    py::object standby = con.attr("standby");
    py::object go_to = standby.attr("state_machine").attr("go_to");
    py::object spawn = standby.attr("spawn");
    go_to("spawn"_a = spawn, "prompt_recovery"_a = self.attr("prompt_recovery"),
          "to_state"_a = "any");
    return py::none();
}

py::object init_standby(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")("+++ initializing standby handle +++");
    if (pc::truth(con.attr("standby_goto_enable"))) {
        go_to_state(con.attr("standby"), "enable", self);
    }
    self.attr("execute_init_commands")("standby"_a = true);
    return py::none();
}

py::object assign_ha_mode(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")("+++ assigning ha mode +++");
    py::object execute = con.attr("execute");
    py::object ret = execute("sh redundancy state", "target"_a = "active",
                             "prompt_recovery"_a = self.attr("prompt_recovery"));
    // Python's re: \s also spans line ends, while (.*) stops before one.
    py::object match = framework("re").attr("search")(R"([Rr]edundancy\s+[Ss]tate\s+=\s+(.*))",
                                                      ret);
    if (!pc::truth(match))
        pc::raise(framework("ConnectionError"), "unable to determine redundancy mode");
    py::object ha_mode = match.attr("group")(1).attr("strip")();
    for (py::handle subconnection : con.attr("subconnections"))
        py::setattr(subconnection, "mode", ha_mode);
    con.attr("log").attr("debug")(pc::percent_s("redundancy mode is %s", ha_mode));
    return py::none();
}

}  // namespace

void add_ha_init_operations(py::module_ &m, py::handle cls) {
    pc::def<init_active>(cls, m, "init_active", {},
                         "Bring the active handle to enable and run the initial commands.");
    pc::def<unlock_standby>(cls, m, "unlock_standby", {},
                            "Send the standby unlock configuration and resynchronise the "
                            "standby line.");
    pc::def<init_standby>(cls, m, "init_standby", {},
                          "Bring the standby handle to enable when asked to and run the "
                          "initial exec commands on it.");
    pc::def<assign_ha_mode>(cls, m, "assign_ha_mode", {},
                            "Read the redundancy mode and record it on every subconnection.");
}

}  // namespace link_broker

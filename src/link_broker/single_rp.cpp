// BaseSingleRpLinkBroker: brings up a device with one route processor (one
// spawn), learning its OS and redirecting to the fitting connection class
// when asked to, and takes it down.
#include "link_broker.hpp"

#include <tuple>

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

// Steps 3 to 11 of connect: learn the OS on the one spawn, then hand the
// device over to the connection class of that OS.
void learn_os_and_redirect(py::handle self, const py::object &con) {
    py::object device = con.attr("device");
    con.attr("log").attr("info")(pc::percent_s("Learning device %s os", device.attr("name")));

    ensure_learn_os_state(con.attr("state_machine"));

    self.attr("establish_connection")();

    py::object learned_os, learned_platform;
    bool learned = false;
    for (py::handle command : con.attr("settings").attr("LEARN_OS_COMMANDS")) {
        py::object output;
        try {
            output = con.attr("execute")(command, "allow_state_change"_a = true);
        } catch (py::error_already_set &e) {
            if (!pc::is_ordinary_error(e)) throw;
            con.attr("log").attr("info")(
                pc::percent_s("Failed to execute command \"%s\"", command));
            continue;
        }
        std::tie(learned_os, learned_platform) = unpack_pair(
            framework("learn_os_platform")(con, output, con.attr("settings").attr("OS_MAPPING")));
        if (pc::truth(learned_os)) {
            learned = true;
            break;
        }
    }
    if (!learned) raise_os_learning_failed();

    py::object new_connection = redirect_to_learned_os(con, device, learned_os, learned_platform);
    py::setattr(con, "spawn", new_connection.attr("spawn"));
}

py::object connect(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")(pc::percent_s("connection to %s", con.attr("hostname")));
    if (pc::equals(con.attr("os"), py::str("generic")) && pc::truth(con.attr("learn_os"))) {
        learn_os_and_redirect(self, con);
        return py::none();
    }
    py::object result = self.attr("establish_connection")();
    if (pc::truth(con.attr("mit"))) return result;
    con.attr("log").attr("info")("+++ initializing handle +++");
    self.attr("init_handle")();
    return result;
}

py::object establish_connection(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::object settings = con.attr("settings");
    py::object sm = con.attr("state_machine");
    py::setattr(sm, "learn_hostname", py::bool_(true));
    py::setattr(sm, "learn_pattern", settings.attr("DEFAULT_LEARNED_HOSTNAME"));

    py::object context = con.attr("context");
    push_login_creds(context);

    py::object go_to = sm.attr("go_to");
    py::object spawn = con.attr("spawn");
    py::object prompt_recovery = self.attr("prompt_recovery");
    py::object timeout = con.attr("connection_timeout");
    py::object dialog = self.attr("get_connection_dialog")();
    py::object result = go_to("any", spawn, "context"_a = context,
                              "prompt_recovery"_a = prompt_recovery, "timeout"_a = timeout,
                              "dialog"_a = dialog);

    py::object learned = con.attr("_get_learned_hostname")(con.attr("spawn"));
    const bool learning = pc::truth(con.attr("learn_hostname")) &&
                          !pc::truth(con.attr("learned_hostname"));
    if (learning) {
        con.attr("log").attr("info")(pc::format("Learned hostname(s): '{}'.", learned));
        py::object default_hostname = settings.attr("DEFAULT_LEARNED_HOSTNAME");
        if (pc::equals(learned, default_hostname))
            con.attr("log").attr("warning")(pc::format(
                "Using the default hostname pattern {}. This may lead to unstable behavior.",
                default_hostname));
        py::setattr(con, "learned_hostname", learned);
    } else {
        // Passive check: only flag the mismatch; the framework adds the hint to
        // the timeout it raises later when the hostname prompt does not match.
        py::object hostname = con.attr("hostname");
        if (!pc::contains(learned, hostname) &&
            !pc::equals(learned, settings.attr("DEFAULT_LEARNED_HOSTNAME"))) {
            con.attr("log").attr("warning")(
                pc::format("Invalid hostname detected: found {}, expected {}", learned, hostname));
            py::setattr(con.attr("spawn"), "hostname_mismatch", py::bool_(true));
        }
    }

    py::setattr(sm, "learn_hostname", py::bool_(false));
    pop_login_creds(context);
    return result;
}

py::object init_handle(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    if (pc::truth(con.attr("goto_enable"))) {
        go_to_state(con, "enable", self);
    }
    self.attr("execute_init_commands")();
    return py::none();
}

py::object disconnect(py::handle self, const Args &) {
    self.attr("connection").attr("spawn").attr("close")();
    return py::none();
}

}  // namespace

void add_single_rp_operations(py::module_ &m, py::handle cls) {
    pc::def<connect>(cls, m, "connect", {},
                     "Bring the device up: learn its OS and redirect when asked to, else "
                     "reach a known state, go to enable and run the initial commands.");
    pc::def<establish_connection>(cls, m, "establish_connection", {},
                                  "Bring the spawn to a known state and learn or check the "
                                  "hostname; returns what the state machine returned.");
    pc::def<init_handle>(cls, m, "init_handle", {},
                         "Go to the enable state when asked to and run the initial commands.");
    pc::def<disconnect>(cls, m, "disconnect", {}, "Close the spawn.");
}

}  // namespace link_broker

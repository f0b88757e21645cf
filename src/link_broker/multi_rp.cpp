// BaseMultiRpLinkBroker: brings up all subconnections (one per route
// processor) of a device together, learning its OS and redirecting when
// asked to, and closes them. The HA steps of connect are in ha_init.cpp.
#include "link_broker.hpp"

#include <tuple>

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

// OS-learning path of connect: learn the OS over every line, reconnect the
// device through the connection class of that OS and take over its spawns.
void learn_os_and_redirect(py::handle self, const py::object &con) {
    py::object device = con.attr("device");
    con.attr("log").attr("info")(pc::percent_s("Learning device %s os", device.attr("name")));

    for (py::handle subconnection : con.attr("subconnections"))
        ensure_learn_os_state(subconnection.attr("state_machine"));

    self.attr("establish_connection")();

    py::object learned_os = py::str(""), learned_platform = py::str("");
    bool learned = false;
    for (py::handle command : con.attr("settings").attr("LEARN_OS_COMMANDS")) {
        py::list targets;
        for (py::handle subconnection : con.attr("subconnections"))
            targets.append(subconnection.attr("alias"));
        for (py::handle target : targets) {
            py::object output;
            try {
                output = con.attr("execute")(command, "allow_state_change"_a = true,
                                             "target"_a = target);
            } catch (py::error_already_set &e) {
                if (!pc::is_ordinary_error(e)) throw;
                con.attr("log").attr("info")(
                    pc::percent_s("Failed to execute command \"%s\"", command));
                continue;
            }
            std::tie(learned_os, learned_platform) = unpack_pair(framework("learn_os_platform")(
                con, output, con.attr("settings").attr("OS_MAPPING")));
            if (pc::truth(learned_os)) break;
        }
        if (pc::truth(learned_os)) {
            learned = true;
            break;
        }
    }
    if (!learned) raise_os_learning_failed();

    py::object new_connection = redirect_to_learned_os(con, device, learned_os, learned_platform);

    // zip(): the leading subconnections take the new spawns, by position.
    py::iterator fresh = py::iter(new_connection.attr("subconnections"));
    for (py::handle old : con.attr("subconnections")) {
        if (fresh == py::iterator::sentinel()) break;
        py::setattr(old, "spawn", (*fresh).attr("spawn"));
        ++fresh;
    }

    py::setattr(con, "_handles_designated", py::bool_(true));
    py::setattr(con, "mit", py::bool_(true));
}

py::object connect(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    for (py::handle subconnection : con.attr("subconnections"))
        con.attr("log").attr("info")(
            pc::percent_s("+++ connection to %s +++", subconnection.attr("spawn")));

    if (pc::equals(con.attr("os"), py::str("generic")) && pc::truth(con.attr("learn_os"))) {
        learn_os_and_redirect(self, con);
        return py::none();
    }

    self.attr("establish_connection")();
    if (pc::truth(con.attr("mit"))) return py::none();

    self.attr("designate_handles")();
    self.attr("init_active")();
    self.attr("unlock_standby")();
    self.attr("init_standby")();
    self.attr("assign_ha_mode")();
    return py::none();
}

py::object establish_connection(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::object subconnections = con.attr("subconnections");
    // Without a line there is nothing to bring up and no line to decide
    // hostname learning by.
    if (py::len(subconnections) == 0)
        pc::raise(framework("ConnectionError"), "No subconnections to establish");

    const bool learn_hostname = prepare_hostname_learning(con, subconnections);

    // Two passes: the empty line of the first wakes every console, the
    // second finds each line settled.
    for (const bool first_pass : {true, false}) {
        for (py::handle subconnection : subconnections) {
            py::object context = subconnection.attr("context");
            push_login_creds(context);
            go_to_any_with_dialog(self, subconnection, context);
            if (first_pass) subconnection.attr("spawn").attr("sendline")();
            pop_login_creds(context);
        }
    }

    if (!learn_hostname) return py::none();

    learn_hostname_across(con, subconnections);
    return py::none();
}

py::object designate_handles(py::handle self, const Args &) {
    pc::raise(PyExc_NotImplementedError, pc::format("Subclass {} must overload designate_handles.",
                                                    self.attr("__class__").attr("__name__")));
}

py::object disconnect(py::handle self, const Args &) {
    for (py::handle subconnection : self.attr("connection").attr("subconnections"))
        subconnection.attr("spawn").attr("close")();
    return py::none();
}

}  // namespace

void add_multi_rp_operations(py::module_ &m, py::handle cls) {
    pc::def<connect>(cls, m, "connect", {},
                     "Bring every line up, designate the handles and initialise them; or "
                     "learn the OS and redirect when asked to.");
    pc::def<establish_connection>(cls, m, "establish_connection", {},
                                  "Bring every subconnection to a known state and learn the "
                                  "hostname.");
    pc::def<designate_handles>(cls, m, "designate_handles", {},
                               "Tell the active handle from the standby; each chassis kind "
                               "overrides it.");
    pc::def<disconnect>(cls, m, "disconnect", {}, "Close every subconnection's spawn.");
}

}  // namespace link_broker

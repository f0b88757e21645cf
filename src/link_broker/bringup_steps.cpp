// Bring-up steps shared by several brokers: driving one line to a state, the
// login credentials the state machine's dialogs read while a line is driven,
// the hostname learning across lines, and Python's two-item unpacking. They
// sit here, not in one broker's file, because each has more than one caller.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

void go_to_state(py::handle line, const char *state, py::handle owner) {
    py::object go_to = line.attr("state_machine").attr("go_to");
    py::object spawn = line.attr("spawn");
    py::object context = line.attr("context");
    py::object prompt_recovery = owner.attr("prompt_recovery");
    py::object timeout = line.attr("connection_timeout");
    go_to(state, spawn, "context"_a = context, "prompt_recovery"_a = prompt_recovery,
          "timeout"_a = timeout);
}

void go_to_any_with_dialog(py::handle broker, py::handle line, py::handle context) {
    py::object go_to = line.attr("state_machine").attr("go_to");
    py::object spawn = line.attr("spawn");
    py::object prompt_recovery = broker.attr("prompt_recovery");
    py::object timeout = line.attr("connection_timeout");
    py::object dialog = broker.attr("get_connection_dialog")();
    go_to("any", spawn, "context"_a = context, "prompt_recovery"_a = prompt_recovery,
          "timeout"_a = timeout, "dialog"_a = dialog);
}

void push_login_creds(py::handle context) {
    py::dict creds;
    creds["cred_list"] = context.attr("get")("login_creds");
    context.attr("update")(creds);
}

void pop_login_creds(py::handle context) { context.attr("pop")("cred_list", py::none()); }

bool prepare_hostname_learning(py::handle con, py::handle subconnections) {
    bool learn_hostname = false;
    for (py::handle subconnection : subconnections) {
        learn_hostname = pc::truth(subconnection.attr("learn_hostname")) &&
                         !pc::truth(subconnection.attr("learned_hostname"));
        py::object sm = subconnection.attr("state_machine");
        if (learn_hostname) py::setattr(sm, "learn_hostname", py::bool_(true));
        py::setattr(sm, "learn_pattern", con.attr("settings").attr("DEFAULT_LEARNED_HOSTNAME"));
    }
    return learn_hostname;
}

void learn_hostname_across(const py::object &con, const py::object &subconnections) {
    py::object default_hostname = con.attr("settings").attr("DEFAULT_LEARNED_HOSTNAME");
    py::object learned_hostname = default_hostname;
    for (py::handle subconnection : subconnections) {
        py::object get_learned_hostname = subconnection.attr("_get_learned_hostname");
        py::object seen = get_learned_hostname("spawn"_a = subconnection.attr("spawn"));
        if (!pc::equals(seen, default_hostname)) {
            learned_hostname = seen;
            break;
        }
    }
    if (pc::equals(learned_hostname, default_hostname))
        con.attr("log").attr("warning")(
            pc::format("Failed to learn the hostname.  Using the default hostname pattern {}. "
                       "This may lead to unstable behavior.",
                       default_hostname));

    py::setattr(con, "learned_hostname", learned_hostname);
    for (py::handle subconnection : subconnections) {
        py::setattr(subconnection, "learned_hostname", learned_hostname);
        py::setattr(subconnection.attr("state_machine"), "learn_hostname", py::bool_(false));
    }
}

std::pair<py::object, py::object> unpack_pair(const py::object &value) {
    py::tuple items = py::tuple(value);
    if (items.size() > 2) pc::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (items.size() < 2)
        pc::raise(PyExc_ValueError,
                  pc::format("not enough values to unpack (expected 2, got {})", items.size()));
    return {items[0], items[1]};
}

}  // namespace link_broker

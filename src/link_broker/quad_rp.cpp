// BaseQuadRpLinkBroker: two chassis with two RPs each. Lines that answer are
// connected and become active or standby; silent lines are marked "rpr" and
// become the active ICS or standby ICS handle.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

py::object init(py::handle self, const Args &a) {
    py::object super = py::module_::import("builtins").attr("super");
    super(classes().quad_rp, self).attr("__init__")(a[0]);
    return py::none();
}

// Timeout of either expect means the line is silent; nothing else is caught.
py::object is_interactive(py::handle self, const Args &a) {
    py::object timeout = self.attr("connection").attr("settings").attr("DETECT_RPR_TIMEOUT");
    framework("time").attr("sleep")(timeout);
    py::object spawn = a[0].attr("spawn");
    try {
        py::object expect = spawn.attr("expect");
        expect(".+", "timeout"_a = timeout, "log_timeout"_a = false);
    } catch (py::error_already_set &e) {
        if (!e.matches(framework("TimeoutError"))) throw;
        return py::bool_(false);
    }
    spawn.attr("sendline")();
    try {
        py::object expect = spawn.attr("expect");
        expect(R"(\S+)", "timeout"_a = timeout, "trim_buffer"_a = false, "log_timeout"_a = false);
    } catch (py::error_already_set &e) {
        if (!e.matches(framework("TimeoutError"))) throw;
        return py::bool_(false);
    }
    return py::bool_(true);
}

py::object establish_connection(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::object subconnections = con.attr("subconnections");
    // Without a subconnection there is no line to decide hostname learning.
    if (py::iter(subconnections) == py::iterator::sentinel())
        pc::raise(framework("ConnectionError"), "Quad device has no subconnections to connect");

    const bool learn_hostname = prepare_hostname_learning(con, subconnections);

    for (py::handle subcon : subconnections) {
        if (!pc::truth(self.attr("is_interactive")(subcon))) {
            subcon.attr("state_machine").attr("update_cur_state")("rpr");
            continue;
        }
        con.attr("log").attr("debug")(pc::percent_s("connect to %s", subcon.attr("alias")));
        py::object context = subcon.attr("context");
        push_login_creds(context);
        go_to_any_with_dialog(self, subcon, context);
        pop_login_creds(context);
    }

    if (!learn_hostname) return py::none();

    learn_hostname_across(con, subconnections);
    return py::none();
}

py::object designate_handles(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::object active, standby;
    py::list subcons(con.attr("_subconnections").attr("items")());
    SwitchInfo info = probe_switch_info(subcons);

    for (py::handle pair : subcons) {
        py::object alias = pair[py::int_(0)], subcon = pair[py::int_(1)];
        py::str member = pc::str(subcon.attr("member_id"));
        py::object role = py::str("");
        if (pc::contains(info.members, member)) role = info.members[member][py::str("role")];
        const bool silent = pc::equals(subcon.attr("state_machine").attr("current_state"),
                                       py::str("rpr"));
        if (pc::equals(role.attr("lower")(), py::str("active"))) {
            if (silent) {
                con.attr("_set_active_ics_alias")(alias);
            } else {
                active = subcon;
                con.attr("_set_active_alias")(alias);
            }
        } else if (silent) {
            con.attr("_set_standby_ics_alias")(alias);
        } else {
            standby = subcon;
            con.attr("_set_standby_alias")(alias);
        }
    }

    if (!active || !standby) {
        py::setattr(con, "_handles_designated", py::bool_(false));
        pc::raise(framework("ConnectionError"), "Failed to identify active rp and standby rp");
    }
    for (py::handle subcon : {active, standby}) go_to_with_own_settings(subcon, "enable");
    py::setattr(con, "_handles_designated", py::bool_(true));
    return py::none();
}

}  // namespace

void add_quad_rp_operations(py::module_ &m, py::handle cls) {
    pc::def<init>(cls, m, "__init__", {pc::arg("connection")},
                  "Keep the owning connection, as every link broker does.");
    pc::def<establish_connection>(cls, m, "establish_connection", {},
                                  "Mark silent lines \"rpr\", bring the others to a known "
                                  "state and learn the hostname.");
    pc::def<is_interactive>(cls, m, "is_interactive", {pc::arg("conn")},
                            "Whether the line of one subconnection answers.");
    pc::def<designate_handles>(cls, m, "designate_handles", {},
                               "Designate active, standby, active ICS and standby ICS "
                               "from \"show switch\" and the \"rpr\" marks.");
}

}  // namespace link_broker

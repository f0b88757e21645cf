// BaseStackRpLinkBroker: a switch stack, one subconnection per member; the
// device's own "show switch" names the Active and the Standby member.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

py::object init(py::handle self, const Args &a) {
    py::object super = py::module_::import("builtins").attr("super");
    super(classes().stack_rp, self).attr("__init__")(a[0]);
    return py::none();
}

py::object connect(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::object log = con.attr("log");
    py::list subconnections(con.attr("subconnections"));
    if (py::len(subconnections) == 0)
        pc::raise(framework("ConnectionError"), "Stack has no subconnections to connect");
    for (py::handle subcon : subconnections)
        log.attr("info")(pc::percent_s("+++ connection to %s +++", subcon.attr("spawn")));
    self.attr("establish_connection")();
    if (pc::truth(con.attr("mit"))) return py::none();
    log.attr("info")("+++ designating handles +++");
    self.attr("designate_handles")();
    self.attr("init_active")();
    self.attr("init_standby")();
    self.attr("assign_ha_mode")();
    return py::none();
}

// "member 1 Active, member 2 Member", for error messages.
py::str listing(const SwitchInfo &info) {
    if (!info.probed) return py::str("no line in \"enable\" or \"disable\" state ran it");
    if (py::len(info.members) == 0) return py::str("no member line");
    py::list parts;
    for (auto item : info.members)
        parts.append(pc::format("member {} {}", item.first, item.second[py::str("role")]));
    return py::str(", ").attr("join")(parts);
}

py::object designate_handles(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    py::list subcons(con.attr("_subconnections").attr("items")());
    if (py::len(subcons) == 0)
        pc::raise(framework("ConnectionError"), "Stack has no subconnections to designate");
    SwitchInfo info = probe_switch_info(subcons);

    // Member N is the pair at position N; a number with no pair is an error
    // rather than a wrap round to the last pair.
    py::object active_alias, active, standby_alias, standby;
    for (auto item : info.members) {
        py::object role = item.second[py::str("role")].attr("lower")();
        const bool is_active = pc::equals(role, py::str("active"));
        if (!is_active && !pc::equals(role, py::str("standby"))) continue;
        long number = py::int_(item.second[py::str("sw_num")]).cast<long>();
        if (number < 1 || number > static_cast<long>(py::len(subcons)))
            pc::raise(framework("ConnectionError"),
                      pc::format("Stack member {} has no subconnection: there are {}", number,
                                 py::len(subcons)));
        py::object pair = subcons[static_cast<std::size_t>(number - 1)];
        if (is_active) {
            active_alias = pair[py::int_(0)];
            active = pair[py::int_(1)];
        } else {
            standby_alias = pair[py::int_(0)];
            standby = pair[py::int_(1)];
        }
    }
    // Both roles are checked before any line is driven or alias recorded.
    if (!active || !standby) {
        const char *missing = !active && !standby ? "No Active and no Standby member"
                              : !active           ? "No Active member"
                                                  : "No Standby member";
        pc::raise(framework("ConnectionError"),
                  pc::format("{} found in the stack; \"show switch\" listed: {}", missing,
                             listing(info)));
    }

    for (py::handle subcon : {active, standby}) go_to_with_own_settings(subcon, "enable");
    con.attr("_set_active_alias")(active_alias);
    con.attr("_set_standby_alias")(standby_alias);
    py::setattr(con, "_handles_designated", py::bool_(true));
    return py::none();
}

}  // namespace

void add_stack_rp_operations(py::module_ &m, py::handle cls) {
    pc::def<init>(cls, m, "__init__", {pc::arg("connection")},
                  "Keep the owning connection, as every link broker does.");
    pc::def<connect>(cls, m, "connect", {},
                     "Bring the stack up: connect every member, designate the Active and "
                     "Standby members and initialise them.");
    pc::def<designate_handles>(cls, m, "designate_handles", {},
                               "Designate the Active and Standby members from \"show switch\".");
}

}  // namespace link_broker

// The "show switch" probe shared by the stack and quad brokers: one query on
// the first line at an exec prompt, its member lines read into records.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;

namespace {

// One member line of "show switch": "*1  Active  0c75.bd11.2280  15  V01  Ready",
// the "*" marking the member whose console asked.
const char *const member_line_pattern =
    R"re(^(?P<current>\*)?(?P<sw_num>[0-9])\s+(?P<role>Member|Active|Standby)\s+(?P<mac>[\w\.]+)\s+\d+\s+\w+\s+(?P<state>[\S\s]+)$)re";

}  // namespace

SwitchInfo probe_switch_info(const py::list &subcons) {
    SwitchInfo info;
    py::object member_line = framework("re").attr("compile")(member_line_pattern);
    for (py::handle pair : subcons) {
        py::object subcon = pair[py::int_(1)];
        py::object state = subcon.attr("state_machine").attr("current_state");
        if (!pc::equals(state, py::str("enable")) && !pc::equals(state, py::str("disable")))
            continue;
        info.probed = true;
        py::object output = subcon.attr("execute")("show switch");
        for (py::handle line : output.attr("splitlines")()) {
            py::object match = member_line.attr("search")(line.attr("strip")());
            if (match.is_none()) continue;
            py::object groups = match.attr("groupdict")();
            // A later line for the same member replaces the record in place.
            info.members[groups[py::str("sw_num")]] = groups;
        }
        break;  // only the first line at an exec prompt is asked
    }
    return info;
}

}  // namespace link_broker

// The "show switch" probe shared by the stack and quad brokers: one query on
// the first line at an exec prompt, its member lines read into records.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;

SwitchInfo probe_switch_info(const py::list &subcons, const char *pattern) {
    SwitchInfo info;
    py::object member_line = framework("re").attr("compile")(pattern);
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

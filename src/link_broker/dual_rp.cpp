// BaseDualRpLinkBroker: tells the active route processor of a two-RP chassis
// from the standby by asking the first line that reaches the enable prompt.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

namespace {

const char *const redundancy_query = "sh redundancy stat | inc my state";

// The device's own answer in what was read up to the enable prompt: the lines
// up to and including the echo of the query go, and so does the prompt that
// ends the answer, so that a hostname such as "lab-active" in either is not
// taken for the RP's state. Text without an echo or a prompt stays whole.
py::object device_answer(const py::object &output, const py::object &prompt) {
    py::list lines(output.attr("splitlines")());
    py::str query(redundancy_query);
    std::size_t first = 0, end = lines.size();
    for (std::size_t i = 0; i < end; ++i) {
        if (pc::contains(py::object(lines[i]), query)) {
            first = i + 1;
            break;
        }
    }
    // The prompt stands on the last line that is not blank.
    while (end > first && !pc::truth(py::object(lines[end - 1]).attr("strip")())) --end;
    py::list kept;
    for (std::size_t i = first; i < end; ++i) kept.append(lines[i]);
    if (end > first) {
        py::object last = kept[end - first - 1];
        py::object match = framework("re").attr("search")(prompt, last);
        if (!match.is_none())
            kept[end - first - 1] = last[py::slice(py::int_(0), match.attr("start")(), py::none())];
    }
    return py::str("\n").attr("join")(kept);
}

void log_state(py::handle con, py::handle subcon) {
    py::object debug = con.attr("log").attr("debug");
    py::object alias = subcon.attr("alias");
    py::object state = subcon.attr("state_machine").attr("current_state");
    debug(pc::format("{} in state: {}", alias, state));
}

py::object designate_handles(py::handle self, const Args &) {
    py::object con = self.attr("connection");
    con.attr("log").attr("info")("+++ designating handles +++");

    // Only the first two entries are the RPs; without two there is nothing
    // to tell apart, so stop before any line is touched.
    py::list pairs;
    for (py::handle pair : con.attr("_subconnections").attr("items")()) {
        if (py::len(pairs) == 2) break;
        pairs.append(pair);
    }
    if (py::len(pairs) < 2)
        pc::raise(
            framework("ConnectionError"),
            pc::format("Dual-RP designation needs two subconnections, found {}", py::len(pairs)));
    py::object subcon1_alias = pairs[0][py::int_(0)], subcon1 = pairs[0][py::int_(1)];
    py::object subcon2_alias = pairs[1][py::int_(0)], subcon2 = pairs[1][py::int_(1)];

    // Wake-up pass: each line to a known state, with its own prompt recovery.
    for (py::handle subcon : {subcon1, subcon2}) {
        subcon.attr("sendline")();
        go_to_with_own_settings(subcon, "any");
        log_state(con, subcon);
    }

    // Enable pass: a line that cannot reach enable just stays where it is.
    for (py::handle subcon : {subcon1, subcon2}) {
        try {
            py::object go_to = subcon.attr("state_machine").attr("go_to");
            py::object spawn = subcon.attr("spawn");
            go_to("enable", spawn, "context"_a = subcon.attr("context"));
        } catch (py::error_already_set &e) {
            if (!pc::is_ordinary_error(e)) throw;
        }
        log_state(con, subcon);
    }

    py::object target, target_alias, other_alias;
    if (pc::equals(subcon1.attr("state_machine").attr("current_state"), py::str("enable"))) {
        target = subcon1;
        target_alias = subcon1_alias;
        other_alias = subcon2_alias;
    } else if (pc::equals(subcon2.attr("state_machine").attr("current_state"), py::str("enable"))) {
        target = subcon2;
        target_alias = subcon2_alias;
        other_alias = subcon1_alias;
    } else {
        py::object state1 = subcon1.attr("state_machine").attr("current_state");
        py::object state2 = subcon2.attr("state_machine").attr("current_state");
        pc::raise(framework("ConnectionError"),
                  pc::format("Dual-RP designation found no line at the enable prompt: "
                             "{} in state {}, {} in state {}",
                             subcon1_alias, state1, subcon2_alias, state2));
    }

    py::object spawn = target.attr("spawn");
    spawn.attr("sendline")(redundancy_query);
    py::object prompt = target.attr("state_machine").attr("get_state")("enable").attr("pattern");
    py::object expect = spawn.attr("expect");
    py::object timeout = con.attr("settings").attr("EXEC_TIMEOUT");
    py::object output = expect(prompt, "timeout"_a = timeout).attr("match_output");

    // Plain substring tests ignoring case; "active" is tested first.
    py::object lowered = device_answer(output, prompt).attr("lower")();
    if (pc::contains(lowered, py::str("active"))) {
        con.attr("_set_active_alias")(target_alias);
        con.attr("_set_standby_alias")(other_alias);
    } else if (pc::contains(lowered, py::str("standby"))) {
        con.attr("_set_standby_alias")(target_alias);
        con.attr("_set_active_alias")(other_alias);
    } else {
        pc::raise(framework("ConnectionError"), "unable to designate handles");
    }
    py::setattr(con, "_handles_designated", py::bool_(true));
    return py::none();
}

}  // namespace

void add_dual_rp_operations(py::module_ &m, py::handle cls) {
    pc::def<designate_handles>(cls, m, "designate_handles", {},
                               "Designate the active and standby handles from the answer "
                               "of the first line at the enable prompt.");
}

}  // namespace link_broker

// Internal interface of the link_broker extension module.
#pragma once

#include "../pyclass.hpp"

#include <utility>

namespace link_broker {

using pyclass::Args;

// A framework name (Dialog, ConnectionError, learn_os_platform, time, ...)
// looked up on the module at call time, so that patching it takes effect.
py::object framework(const char *name);

// The classes, created once at module load.
struct Classes {
    py::object common, single_rp, multi_rp, dual_rp, stack_rp, quad_rp;
};
const Classes &classes();

// Python's `a, b = value`: exactly two items, else ValueError.
std::pair<py::object, py::object> unpack_pair(const py::object &value);

// Logs the learned OS (and platform, when there is one), stores both on
// `device` and reconnects it with `update_connection_kwargs(con)`; returns
// the device's new connection (its attribute named by the "alias" keyword,
// "default" without one).
py::object redirect_to_learned_os(const py::object &con, const py::object &device,
                                  const py::object &learned_os,
                                  const py::object &learned_platform);

// Each file adds the operations of its class (or concern) to the class.
void add_common_operations(py::module_ &m, py::handle cls);
void add_single_rp_operations(py::module_ &m, py::handle cls);
void add_multi_rp_operations(py::module_ &m, py::handle cls);
void add_ha_init_operations(py::module_ &m, py::handle cls);
void add_dual_rp_operations(py::module_ &m, py::handle cls);
void add_stack_rp_operations(py::module_ &m, py::handle cls);
void add_quad_rp_operations(py::module_ &m, py::handle cls);

// Steps shared by the multi-RP and quad establish_connection: the hostname
// learned across the subconnections, stored on all of them.
void learn_hostname_across(const py::object &con, const py::object &subconnections);

// `line.state_machine.go_to(state, line.spawn, context=line.context,
// prompt_recovery=owner.prompt_recovery, timeout=line.connection_timeout)`,
// read as Python reads it: the method, then each argument left to right.
// The prompt recovery is the line's own or the link broker's.
void go_to_state(py::handle line, const char *state, py::handle owner);
inline void go_to_with_own_settings(py::handle line, const char *state) {
    go_to_state(line, state, line);
}

// A line's bring-up step: `line.state_machine.go_to("any", line.spawn,
// context=context, prompt_recovery=broker.prompt_recovery,
// timeout=line.connection_timeout, dialog=broker.get_connection_dialog())`,
// read in the same order.
void go_to_any_with_dialog(py::handle broker, py::handle line, py::handle context);

// What the "show switch" probe of the stack and quad brokers found: whether a
// line in "enable" or "disable" ran the command, and the member records
// (the named groups of each member line, keyed by the member number text).
struct SwitchInfo {
    bool probed = false;
    py::dict members;
};

// Runs "show switch" on the first of `subcons` ((alias, subconnection) pairs)
// in "enable" or "disable" and reads its member lines with `pattern`.
SwitchInfo probe_switch_info(const py::list &subcons, const char *pattern);

}  // namespace link_broker

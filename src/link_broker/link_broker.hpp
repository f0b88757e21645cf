// Internal interface of the link_broker extension module.
//
// Where each class lives and the order of its connect ("→": an operation
// called through the object, so a subclass's override runs):
//
// class                   files                          connect
// ----------------------  -----------------------------  ---------------------------------------
// BaseCommonRpLinkBroker  common.cpp                     none (__init__, the connection dialog,
//                                                        the initial commands)
// BaseSingleRpLinkBroker  single_rp.cpp, os_learning.cpp log the line; if learning the OS:
//                                                        learn it, hand over, done;
//                                                        → establish_connection; if mit: done;
//                                                        → init_handle (enable, initial commands)
// BaseMultiRpLinkBroker   multi_rp.cpp, ha_init.cpp,     log every line; if learning the OS:
//                         os_learning.cpp                learn it on the lines, hand over, done;
//                                                        → establish_connection (two passes);
//                                                        if mit: done; → designate_handles
//                                                        → init_active → unlock_standby
//                                                        → init_standby → assign_ha_mode
// BaseDualRpLinkBroker    dual_rp.cpp                    the multi-RP one; its designate_handles
//                                                        asks the first line at enable
// BaseStackRpLinkBroker   stack_rp.cpp, show_switch.cpp  its own: log every line;
//                                                        → establish_connection (multi-RP);
//                                                        if mit: done; → designate_handles
//                                                        → init_active → init_standby
//                                                        → assign_ha_mode (no OS learning,
//                                                        no standby unlock)
// BaseQuadRpLinkBroker    quad_rp.cpp, show_switch.cpp   the multi-RP one, with its own
//                                                        establish_connection (silent lines
//                                                        marked "rpr") and designate_handles
//
// Steps with several callers are in bringup_steps.cpp (driving a line, the
// login credentials, hostname learning); module.cpp binds the framework
// names and creates the classes.
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

// Raises Exception("Failed to learn device os") with the attribute
// `os_learning_failed` set to true.
[[noreturn]] void raise_os_learning_failed();

// Adds the "learn_os" state to a state machine whose states (by their text
// form) do not have it yet.
void ensure_learn_os_state(py::handle state_machine);

// Logs the learned OS (and platform, when there is one), stores both on
// `device` and reconnects it with `update_connection_kwargs(con)`; returns
// the device's new connection (its attribute named by the "alias" keyword,
// "default" without one).
py::object redirect_to_learned_os(const py::object &con, const py::object &device,
                                  const py::object &learned_os, const py::object &learned_platform);

// Each file adds the operations of its class (or concern) to the class.
void add_common_operations(py::module_ &m, py::handle cls);
void add_single_rp_operations(py::module_ &m, py::handle cls);
void add_multi_rp_operations(py::module_ &m, py::handle cls);
void add_ha_init_operations(py::module_ &m, py::handle cls);
void add_dual_rp_operations(py::module_ &m, py::handle cls);
void add_stack_rp_operations(py::module_ &m, py::handle cls);
void add_quad_rp_operations(py::module_ &m, py::handle cls);

// The state machine's dialogs log in with the context entry "cred_list" while
// a line is driven: set it to the context's "login_creds" (None when absent)
// before, remove it after. An error in between leaves it set.
void push_login_creds(py::handle context);
void pop_login_creds(py::handle context);

// Steps shared by the multi-RP and quad establish_connection. First, each
// subconnection's state machine gets the learning pattern, and the learning
// flag when that subconnection still wants a hostname; whether hostname
// learning runs is decided by the last subconnection alone (returned).
bool prepare_hostname_learning(py::handle con, py::handle subconnections);
// Then the hostname the first line reports other than the default pattern
// (or, with a warning, the pattern itself), stored on the connection and on
// every subconnection; learning is then switched off.
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
// in "enable" or "disable" and reads its member lines.
SwitchInfo probe_switch_info(const py::list &subcons);

}  // namespace link_broker

// OS learning steps shared by the single-RP and multi-RP brokers: the
// "learn_os" state a line needs before learning, the failure when no
// command named an OS, and the end of learning
// (log what was learned, reconnect the device through the connection class
// of the learned OS).
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

// The generic Exception "Failed to learn device os", marked by the attribute
// `os_learning_failed` (true): the framework tells this failure by its
// marker, never by its text.
void raise_os_learning_failed() {
    py::object error = py::handle(PyExc_Exception)("Failed to learn device os");
    py::setattr(error, "os_learning_failed", py::bool_(true));
    PyErr_SetObject(PyExc_Exception, error.ptr());
    throw py::error_already_set();
}

void ensure_learn_os_state(py::handle state_machine) {
    py::list state_names;
    for (py::handle state : state_machine.attr("states")) state_names.append(pc::str(state));
    if (!pc::contains(state_names, py::str("learn_os"))) state_machine.attr("learn_os_state")();
}

py::object redirect_to_learned_os(const py::object &con, const py::object &device,
                                  const py::object &learned_os,
                                  const py::object &learned_platform) {
    const char *message = pc::truth(learned_platform)
                              ? "\nLearned device os: {os}\nLearned device platform: {platform}"
                                "\nRedirect to corresponding plugins."
                              : "\nLearned device os: {os}\nRedirect to corresponding plugins.";
    con.attr("log").attr("info")(
        py::str(message).attr("format")("os"_a = learned_os, "platform"_a = learned_platform));

    py::setattr(device, "os", learned_os);
    py::setattr(device, "platform", learned_platform);
    py::object kwargs = framework("update_connection_kwargs")(con);
    device.attr("destroy")();
    // Python's `**kwargs` takes any mapping; dict() reads it the same way.
    device.attr("connect")(**py::dict(kwargs));
    py::object alias = kwargs.attr("get")("alias", "default");
    return py::getattr(device, alias);
}

}  // namespace link_broker

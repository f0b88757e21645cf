// The end of OS learning shared by the single-RP and multi-RP brokers: log
// what was learned and reconnect the device through the connection class of
// the learned OS.
#include "link_broker.hpp"

namespace link_broker {

namespace pc = pyclass;
using namespace pybind11::literals;

std::pair<py::object, py::object> unpack_pair(const py::object &value) {
    py::tuple items = py::tuple(value);
    if (items.size() > 2) pc::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (items.size() < 2)
        pc::raise(PyExc_ValueError,
                  pc::format("not enough values to unpack (expected 2, got {})", items.size()));
    return {items[0], items[1]};
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

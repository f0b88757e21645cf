// Module init: binds the framework names the brokers use and creates the
// link broker classes.
#include "link_broker.hpp"

#include <memory>

namespace link_broker {

namespace {
PyObject *g_module = nullptr;  // borrowed: the module outlives every call
Classes *g_classes = nullptr;  // lives as long as the process
}  // namespace

py::object framework(const char *name) { return py::handle(g_module).attr(name); }

const Classes &classes() { return *g_classes; }

}  // namespace link_broker

PYBIND11_MODULE(link_broker, m) {
    using namespace link_broker;
    namespace pc = pyclass;
    g_module = m.ptr();

    m.attr("time") = py::module_::import("time");
    m.attr("re") = py::module_::import("re");
    m.attr("Dialog") = py::module_::import("quorvi.dialogs").attr("Dialog");
    py::module_ errors = py::module_::import("quorvi.core.errors");
    m.attr("ConnectionError") = errors.attr("ConnectionError");
    m.attr("TimeoutError") = errors.attr("TimeoutError");
    py::module_ utils = py::module_::import("quorvi.utils");
    m.attr("learn_os_platform") = utils.attr("learn_os_platform");
    m.attr("update_connection_kwargs") = utils.attr("update_connection_kwargs");

    // Owned here until the load succeeds: a failed load is retried by the
    // next import, which makes its own.
    auto c = std::make_unique<Classes>();
    py::object object = py::module_::import("builtins").attr("object");
    c->common = pc::make_class(m, "BaseCommonRpLinkBroker", py::make_tuple(object),
                               "Root of the link broker family: the owning connection, "
                               "prompt recovery, the connection dialog and the initial "
                               "commands.");
    c->single_rp = pc::make_class(m, "BaseSingleRpLinkBroker", py::make_tuple(c->common),
                                  "Brings up and takes down a device with one route "
                                  "processor.");
    c->multi_rp = pc::make_class(m, "BaseMultiRpLinkBroker", py::make_tuple(c->common),
                                 "Brings up and takes down a device with several route "
                                 "processors.");
    c->dual_rp = pc::make_class(m, "BaseDualRpLinkBroker", py::make_tuple(c->multi_rp),
                                "Link broker for a chassis with two route processors.");
    c->stack_rp = pc::make_class(m, "BaseStackRpLinkBroker", py::make_tuple(c->multi_rp),
                                 "Link broker for a switch stack.");
    c->quad_rp = pc::make_class(m, "BaseQuadRpLinkBroker", py::make_tuple(c->multi_rp),
                                "Link broker for a quad device: active, standby, active "
                                "ICS and standby ICS.");

    add_common_operations(m, c->common);
    add_single_rp_operations(m, c->single_rp);
    add_multi_rp_operations(m, c->multi_rp);
    add_ha_init_operations(m, c->multi_rp);
    add_dual_rp_operations(m, c->dual_rp);
    add_stack_rp_operations(m, c->stack_rp);
    add_quad_rp_operations(m, c->quad_rp);
    g_classes = c.release();
}

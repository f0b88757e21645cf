#include "link_broker.hpp"

namespace link_broker {

void add_ha_init_operations(py::module_ &, py::handle) {}

}  // namespace link_broker

#include "link_broker.hpp"

namespace link_broker {

void add_multi_rp_operations(py::module_ &, py::handle) {}

}  // namespace link_broker

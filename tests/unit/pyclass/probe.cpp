// A small module built by the tests from src/pyclass.hpp: operations whose
// bodies throw each kind of C++ exception, and registrations the header must
// refuse (their messages are kept on the module).
#include "pyclass.hpp"

#include <new>
#include <stdexcept>

namespace pc = pyclass;
using pc::Args;

namespace {

py::object echo(py::handle, const Args &a) { return py::reinterpret_borrow<py::object>(a[0]); }
py::object throw_std(py::handle, const Args &) { throw std::runtime_error("probe: std error"); }
py::object throw_value(py::handle, const Args &) { throw py::value_error("probe: bad value"); }
py::object throw_bad_alloc(py::handle, const Args &) { throw std::bad_alloc(); }
py::object throw_int(py::handle, const Args &) { throw 42; }
py::object return_nothing(py::handle, const Args &) { return py::object(); }
py::object static_throw_int(const Args &) { throw 7; }
py::object registered_twice(py::handle, const Args &) { return py::none(); }
py::object nine_params(py::handle, const Args &) { return py::none(); }

}  // namespace

PYBIND11_MODULE(pyclass_probe, m) {
    py::object object = py::module_::import("builtins").attr("object");
    py::object cls = pc::make_class(m, "Probe", py::make_tuple(object), "Probe class.");
    pc::def<echo>(cls, m, "echo", {pc::arg("value")});
    pc::def<throw_std>(cls, m, "throw_std");
    pc::def<throw_value>(cls, m, "throw_value");
    pc::def<throw_bad_alloc>(cls, m, "throw_bad_alloc");
    pc::def<throw_int>(cls, m, "throw_int");
    pc::def<return_nothing>(cls, m, "return_nothing");
    pc::def_static<static_throw_int>(cls, m, "static_throw_int");

    pc::def<registered_twice>(cls, m, "first", {pc::arg("a")});
    try {
        pc::def<registered_twice>(cls, m, "second", {pc::arg("b"), pc::arg("c")});
    } catch (const std::logic_error &e) {
        m.attr("twice_refused") = e.what();
    }
    try {
        pc::def<nine_params>(cls, m, "nine",
                             {pc::arg("a"), pc::arg("b"), pc::arg("c"), pc::arg("d"), pc::arg("e"),
                              pc::arg("f"), pc::arg("g"), pc::arg("h"), pc::arg("i")});
    } catch (const std::logic_error &e) {
        m.attr("nine_refused") = e.what();
    }
}

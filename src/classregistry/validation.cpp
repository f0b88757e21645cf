// Validation of the describing arguments: model, platform, OS and chassis
// type, each failure a ConnectionInfraError with its fixed message.
#include "classregistry.hpp"

namespace classregistry {

namespace pc = pyclass;

namespace {

// isinstance(x, str)
bool is_str(py::handle x) {
    if (PyUnicode_Check(x.ptr())) return true;
    int r = PyObject_IsInstance(x.ptr(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool call_predicate(py::handle s, const char *method) { return pc::truth(s.attr(method)()); }

// str.islower: at least one cased character and none upper or title case.
// Run directly for an exact str; a subclass's own method wins.
bool is_lower(py::handle s) {
    if (!PyUnicode_CheckExact(s.ptr())) return call_predicate(s, "islower");
    make_ready(s.ptr());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    bool cased = false;
    if (PyUnicode_IS_ASCII(s.ptr())) {
        const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (c[i] >= 'A' && c[i] <= 'Z') return false;
            if (c[i] >= 'a' && c[i] <= 'z') cased = true;
        }
        return cased;
    }
    const int kind = PyUnicode_KIND(s.ptr());
    const void *data = PyUnicode_DATA(s.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) return false;
        if (!cased && Py_UNICODE_ISLOWER(ch)) cased = true;
    }
    return cased;
}

// str.isdigit: not empty, every character a digit.
bool is_digits(py::handle s) {
    if (!PyUnicode_CheckExact(s.ptr())) return call_predicate(s, "isdigit");
    make_ready(s.ptr());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n == 0) return false;
    if (PyUnicode_IS_ASCII(s.ptr())) {
        const Py_UCS1 *c = PyUnicode_1BYTE_DATA(s.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (c[i] < '0' || c[i] > '9') return false;
        return true;
    }
    const int kind = PyUnicode_KIND(s.ptr());
    const void *data = PyUnicode_DATA(s.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

// os == "linux"
bool is_linux(py::handle os) {
    if (PyUnicode_CheckExact(os.ptr())) return same_text(os, names().linux_os);
    return pc::equals(os, names().linux_os);
}

py::object text(const char *s) { return py::str(s); }

// `head + repr(known) + middle + str(value)`, evaluated left to right as
// Python does: the list's text is asked for before the value's.
py::object list_message(const char *head, py::handle known, const char *middle, py::handle value) {
    py::object message = concat(text(head), py::repr(known));
    message = concat(message, text(middle));
    return concat(message, pc::str(value));
}

py::object validate_model_op(py::handle self, const Args &a) {
    validate_model(self, a[0], a[1], a[2]);
    return py::none();
}

py::object validate_platform_op(py::handle self, const Args &a) {
    validate_platform(self, a[0], a[1]);
    return py::none();
}

py::object validate_os_op(py::handle self, const Args &a) {
    validate_os(self, a[0]);
    return py::none();
}

py::object validate_chassis_type_op(py::handle self, const Args &a) {
    validate_chassis_type(self, a[0]);
    return py::none();
}

py::object validate_arguments_op(py::handle self, const Args &a) {
    validate_arguments(self, a[0], a[1], a[2], a[3]);
    return py::none();
}

}  // namespace

void validate_model(py::handle, py::handle os, py::handle platform, py::handle model) {
    if (!is_true(model)) return;
    if (!is_true(platform) || !is_true(os))
        raise_infra(concat(text("OS and platform are required for Model: "), pc::str(model)));
    if (!is_str(model)) raise_infra(text("Model should be of type str"));
    if (is_lower(model) || is_digits(model)) return;
    raise_infra(pc::percent_s(" Model (%s) has to be in lowecase", model));
}

void validate_platform(py::handle, py::handle os, py::handle platform) {
    if (!is_true(platform)) return;
    if (os.is_none())
        raise_infra(concat(text("OS information not provided for platform: "), pc::str(platform)));
    if (!is_str(platform)) raise_infra(text("platform should be of type str"));
    if (is_lower(platform) || is_digits(platform)) return;
    raise_infra(pc::percent_s("platform (%s) has to be in lowercase", platform));
}

void validate_os(py::handle self, py::handle os) {
    const bool given = is_true(os);
    py::object known = attr_of(self, names().supported_os);
    if (given) {
        if (!contains(known, os)) {
            py::object line = pc::percent_s(
                "%s is not part of the built-in list of supported OSes.", os);
            log_line(names().debug, line);
        }
        return;
    }
    raise_infra(list_message("OS should be one of these ", known, " , but got ", os));
}

void validate_chassis_type(py::handle self, py::handle chassis_type) {
    const bool given = is_true(chassis_type);
    py::object known = attr_of(self, names().chassis_type_list);
    if (given && contains(known, chassis_type)) return;
    raise_infra(
        list_message("chassis Type should be one of these ", known, ", but got ", chassis_type));
}

namespace {

// validate_arguments when none of the four validators is overridden.
void run_validators(py::handle self, py::handle os, py::handle platform, py::handle model,
                    py::handle chassis_type) {
    validate_model(self, os, platform, model);
    validate_platform(self, os, platform);
    validate_os(self, os);
    if (is_linux(os)) return;
    validate_chassis_type(self, chassis_type);
}

}  // namespace

void validate_arguments(py::handle self, py::handle os, py::handle platform, py::handle model,
                        py::handle chassis_type) {
    const Ops &o = ops();
    const Names &n = names();
    if (runs_own(self, o.validators)) {
        run_validators(self, os, platform, model, chassis_type);
        return;
    }
    call_op(self, o.validate_model, {os, platform, model}, n.kw_os_platform_model);
    call_op(self, o.validate_platform, {platform, os}, n.kw_platform_os);
    call_op(self, o.validate_os, {os}, n.kw_os);
    if (is_linux(os)) return;
    call_op(self, o.validate_chassis_type, {chassis_type}, n.kw_chassis_type);
}

void call_validate_arguments(py::handle self, py::handle os, py::handle platform, py::handle model,
                             py::handle chassis_type) {
    const Ops &o = ops();
    if (runs_own(self, o.validation))
        run_validators(self, os, platform, model, chassis_type);
    else if (runs_own(self, o.arguments))
        validate_arguments(self, os, platform, model, chassis_type);
    else
        call_op(self, o.validate_arguments, {os, platform, model, chassis_type});
}

void add_validation(py::module_ &m, py::handle cls) {
    using pc::arg;
    pc::def<validate_model_op>(cls, m, "validate_model", {arg("os"), arg("platform"), arg("model")},
                               "Accept an empty model, or a lower-case or all-digit string "
                               "with OS and platform given.");
    pc::def<validate_platform_op>(cls, m, "validate_platform", {arg("os"), arg("platform")},
                                  "Accept an empty platform, or a lower-case or all-digit "
                                  "string with an OS given.");
    pc::def<validate_os_op>(cls, m, "validate_os", {arg("os")},
                            "Accept any non-empty OS; note one outside supported_os.");
    pc::def<validate_chassis_type_op>(cls, m, "validate_chassis_type", {arg("chassis_type")},
                                      "Accept a chassis type listed in chassis_type_list.");
    pc::def<validate_arguments_op>(
        cls, m, "validate_arguments",
        {arg("os"), arg("platform"), arg("model"), arg("chassis_type")},
        "Run the validators of model, platform, OS and (unless the OS is linux) chassis type.");
}

}  // namespace classregistry

// Rendering: any nested map as an indented text tree, and the registry's
// printable form.
//
// print_tree renders one level and has each child rendered by
// `self.print_tree`, then splits the child's text into lines and indents
// them. When print_tree is the class's own (nothing overrides or patches
// it), the whole tree is rendered in one pass instead: every line is
// written once, with the indentation that the nested calls would give it,
// so the text is the same without re-splitting it at every level.
#include "classregistry.hpp"

#include <cstring>
#include <string>

namespace classregistry {

namespace pc = pyclass;

namespace {

// RAII guard against runaway recursion (a map that contains itself).
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while rendering a tree")) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// `not data`, or `data == {}`.
bool is_empty(py::handle data) {
    if (!is_true(data)) return true;
    PyObject *p = data.ptr();
    // A true value of these types never equals an empty map.
    if (PyUnicode_CheckExact(p) || PyDict_CheckExact(p) || PyType_CheckExact(p) ||
        PyLong_CheckExact(p) || PyBool_Check(p) || PyFloat_CheckExact(p) ||
        PyList_CheckExact(p) || PyTuple_CheckExact(p))
        return false;
    return pc::equals(data, py::dict());
}

// isinstance(data, dict)
bool is_map(py::handle data) {
    PyObject *p = data.ptr();
    if (PyDict_Check(p)) return true;
    if (PyUnicode_CheckExact(p) || PyType_CheckExact(p)) return false;
    int r = PyObject_IsInstance(p, reinterpret_cast<PyObject *>(&PyDict_Type));
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// sorted(data)
py::list sorted_keys(py::handle data) {
    PyObject *keys = PyDict_CheckExact(data.ptr()) ? PyDict_Keys(data.ptr()) : PySequence_List(data.ptr());
    if (!keys) throw py::error_already_set();
    py::list sorted = py::reinterpret_steal<py::list>(keys);
    if (PyList_Sort(sorted.ptr()) < 0) throw py::error_already_set();
    return sorted;
}

// text.split("\n")
py::object split_lines(py::handle text) {
    if (PyUnicode_CheckExact(text.ptr())) {
        PyObject *lines = PyUnicode_Split(text.ptr(), names().newline.ptr(), -1);
        if (!lines) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(lines);
    }
    return text.attr("split")(names().newline);
}

// `output + " = " + str(data)`
py::object value_line(py::handle output, py::handle data) {
    return concat(concat(output, names().joint), pc::str(data));
}

// A text built by `+=`: gathered as pieces and joined once while everything
// is an exact str, added up one piece at a time otherwise.
class Text {
public:
    explicit Text(py::handle start) {
        if (PyUnicode_CheckExact(start.ptr()))
            pieces_.append(start);
        else
            added_ = py::reinterpret_borrow<py::object>(start);
    }
    void add(py::handle piece) {
        if (!added_ && PyUnicode_CheckExact(piece.ptr())) {
            pieces_.append(piece);
            return;
        }
        if (!added_) added_ = joined();
        PyObject *r = PyNumber_InPlaceAdd(added_.ptr(), piece.ptr());
        if (!r) throw py::error_already_set();
        added_ = py::reinterpret_steal<py::object>(r);
    }
    py::object result() { return added_ ? added_ : joined(); }

private:
    py::object joined() {
        PyObject *r = PyUnicode_Join(names().empty.ptr(), pieces_.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }
    py::list pieces_;
    py::object added_;
};

// One level of print_tree: each child rendered through the object.
py::object render_level(py::handle self, py::handle data, py::handle output) {
    const Names &n = names();
    if (is_empty(data)) return n.empty;
    if (!is_map(data)) return value_line(output, data);
    RecursionGuard guard;
    py::list keys = sorted_keys(data);
    const Py_ssize_t count = PyList_GET_SIZE(keys.ptr());
    Text result(output);
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle key = PyList_GET_ITEM(keys.ptr(), i);
        py::object value = data[key];
        py::object temp_output =
            call_op(self, ops().print_tree, {value, concat(n.child_prefix, key)}, n.kw_data_output);
        py::handle separator = i == count - 1 ? n.newline_indent : n.newline_connector;
        bool first = true;
        for (py::handle line : split_lines(temp_output)) {
            result.add(concat(first ? py::handle(n.newline_connector) : separator, line));
            first = false;
        }
    }
    return result.result();
}

// Fills in the canonical form of a str made through the legacy API.
void make_ready(PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
#else
    (void)s;
#endif
}

// A str written piece by piece into one growing string object, widened
// when a piece needs wider characters and resized in place, so rendering a
// large tree holds no more than the text itself. Pieces of the buffer's own
// width are copied as bytes.
class TextBuffer {
public:
    void write(py::handle piece) {
        PyObject *s = piece.ptr();
        make_ready(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return;
        reserve(length_ + n, PyUnicode_MAX_CHAR_VALUE(s));
        const int kind = PyUnicode_KIND(text_.ptr());
        if (PyUnicode_KIND(s) == kind) {
            std::memcpy(static_cast<char *>(PyUnicode_DATA(text_.ptr())) + length_ * kind,
                        PyUnicode_DATA(s), static_cast<std::size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(text_.ptr(), length_, s, 0, n) < 0) {
            throw py::error_already_set();
        }
        length_ += n;
    }

    // ASCII text (the indentation and the fixed pieces).
    void write_ascii(const char *text, std::size_t size) {
        if (size == 0) return;
        const Py_ssize_t n = static_cast<Py_ssize_t>(size);
        reserve(length_ + n, 127);
        void *data = PyUnicode_DATA(text_.ptr());
        const int kind = PyUnicode_KIND(text_.ptr());
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char *>(data) + length_, text, size);
        } else {
            for (Py_ssize_t i = 0; i < n; ++i)
                PyUnicode_WRITE(kind, data, length_ + i, static_cast<Py_UCS4>(text[i]));
        }
        length_ += n;
    }
    void write_ascii(const std::string &text) { write_ascii(text.data(), text.size()); }

    py::object finish() {
        if (!text_) return names().empty;
        resize(length_);
        return std::move(text_);
    }

private:
    void reserve(Py_ssize_t needed, Py_UCS4 maxchar) {
        if (!text_ || maxchar > PyUnicode_MAX_CHAR_VALUE(text_.ptr())) {
            const Py_ssize_t size = needed > 2 * capacity_ ? needed : 2 * capacity_ + 256;
            const Py_UCS4 widest =
                text_ && PyUnicode_MAX_CHAR_VALUE(text_.ptr()) > maxchar ? PyUnicode_MAX_CHAR_VALUE(text_.ptr()) : maxchar;
            PyObject *wider = PyUnicode_New(size, widest);
            if (!wider) throw py::error_already_set();
            py::object replacement = py::reinterpret_steal<py::object>(wider);
            if (length_ && PyUnicode_CopyCharacters(wider, 0, text_.ptr(), 0, length_) < 0)
                throw py::error_already_set();
            text_ = std::move(replacement);
            capacity_ = size;
            return;
        }
        if (needed > capacity_) resize(needed > 2 * capacity_ ? needed : 2 * capacity_);
    }

    void resize(Py_ssize_t size) {
        // PyUnicode_Resize may move the object; on failure it leaves it as it was.
        PyObject *text = text_.release().ptr();
        const int failed = PyUnicode_Resize(&text, size);
        text_ = py::reinterpret_steal<py::object>(text);
        if (failed) throw py::error_already_set();
        capacity_ = size;
    }

    py::object text_;
    Py_ssize_t length_ = 0, capacity_ = 0;
};

// The whole tree in one pass, for the class's own print_tree: each node
// writes its lines with the indentation its ancestors would add, the first
// line with `first`, the others with `rest`. Both are ASCII ("\n" followed
// by connectors and indents; `first` is empty for the very first line) and
// are kept as C++ strings, so indenting creates no Python objects.
class Renderer {
public:
    explicit Renderer(py::handle self) : self_(self) {}

    // Renders `data` under the label "__ " + key, or under `output` at the top
    // (key null). With exact strs the label is written, not built.
    void node(py::handle data, py::handle key, py::handle output, const std::string &first,
              const std::string &rest) {
        const Names &n = names();
        if (is_empty(data)) {
            buffer_.write_ascii(first);
            return;
        }
        const bool plain_key = key && PyUnicode_CheckExact(key.ptr()) && !has_line_feed(key);
        if (!is_map(data)) {
            if (plain_key) {
                py::object value = pc::str(data);
                if (PyUnicode_CheckExact(value.ptr()) && !has_line_feed(value)) {
                    buffer_.write_ascii(first);
                    buffer_.write_ascii("__ ", 3);
                    buffer_.write(key);
                    buffer_.write_ascii(" = ", 3);
                    buffer_.write(value);
                    return;
                }
                emit_text(concat(concat(concat(n.child_prefix, key), n.joint), value), first, rest);
                return;
            }
            emit_text(value_line(label_of(key, output), data), first, rest);
            return;
        }
        RecursionGuard guard;
        if (plain_key) {
            buffer_.write_ascii(first);
            buffer_.write_ascii("__ ", 3);
            buffer_.write(key);
        } else {
            py::object label = label_of(key, output);
            if (!PyUnicode_CheckExact(label.ptr())) {
                emit_text(render_level(self_, data, label), first, rest);
                return;
            }
            emit_text(label, first, rest);
        }
        py::list keys = sorted_keys(data);
        const Py_ssize_t count = PyList_GET_SIZE(keys.ptr());
        const std::string with_bar = rest + "  |";
        const std::string with_indent = rest + "  ";
        const bool exact_dict = PyDict_CheckExact(data.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::handle child_key = PyList_GET_ITEM(keys.ptr(), i);
            node(item(data, child_key, exact_dict), child_key, py::handle(), with_bar,
                 i == count - 1 ? with_indent : with_bar);
        }
    }

    py::object text() { return buffer_.finish(); }

private:
    // data[key], directly for an exact dict.
    static py::object item(py::handle data, py::handle key, bool exact_dict) {
        if (exact_dict) {
            PyObject *v = PyDict_GetItemWithError(data.ptr(), key.ptr());
            if (v) return py::reinterpret_borrow<py::object>(v);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return data[key];
    }

    static bool has_line_feed(py::handle text) {
        PyObject *s = text.ptr();
        make_ready(s);
        if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND)
            return std::memchr(PyUnicode_DATA(s), '\n', static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))) !=
                   nullptr;
        return PyUnicode_FindChar(s, '\n', 0, PyUnicode_GET_LENGTH(s), 1) != -1;
    }

    static py::object label_of(py::handle key, py::handle output) {
        return key ? concat(names().child_prefix, key) : py::reinterpret_borrow<py::object>(output);
    }

    void emit(const std::string &prefix, py::handle line) {
        if (PyUnicode_CheckExact(line.ptr())) {
            buffer_.write_ascii(prefix);
            buffer_.write(line);
            return;
        }
        // What the nested calls would do: add the line to the indentation.
        py::object piece = concat(py::str(prefix), line);
        if (!PyUnicode_Check(piece.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(piece.ptr())->tp_name);
            throw py::error_already_set();
        }
        buffer_.write(piece);
    }

    void emit_text(py::handle text, const std::string &first, const std::string &rest) {
        if (PyUnicode_CheckExact(text.ptr()) && !has_line_feed(text)) {
            emit(first, text);
            return;
        }
        bool is_first = true;
        for (py::handle line : split_lines(text)) {
            emit(is_first ? first : rest, line);
            is_first = false;
        }
    }

    py::handle self_;
    TextBuffer buffer_;
};

py::object print_tree(py::handle self, py::handle data, py::handle output) {
    if (!runs_own(self, ops().rendering) || !PyUnicode_CheckExact(output.ptr()))
        return render_level(self, data, output);
    if (is_empty(data)) return names().empty;
    if (!is_map(data)) return value_line(output, data);
    Renderer renderer(self);
    renderer.node(data, py::handle(), output, std::string(), std::string("\n"));
    return renderer.text();
}

py::object print_tree_op(py::handle self, const Args &a) { return print_tree(self, a[0], a[1]); }

py::object repr_op(py::handle self, const Args &) {
    const Names &n = names();
    py::object identity = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(self.ptr()));
    if (!identity) throw py::error_already_set();
    PyObject *hex = PyNumber_ToBase(identity.ptr(), 16);
    if (!hex) throw py::error_already_set();
    py::object header = concat(py::str("plugins ("), pc::str(py::type::handle_of(self)));
    header = concat(header, py::str(" at "));
    header = concat(header, py::reinterpret_steal<py::object>(hex));
    header = concat(header, py::str(") "));
    py::object tree = self.attr(n.plugins_attr);
    if (runs_own(self, ops().rendering)) return print_tree(self, tree, header);
    return call_op(self, ops().print_tree, {tree, header}, n.kw_data_output);
}

}  // namespace

void add_rendering(py::module_ &m, py::handle cls) {
    pc::def<print_tree_op>(cls, m, "print_tree",
                           {pc::arg("data"), pc::arg("output", py::str("plugin"))},
                           "Render `data` as an indented text tree under the label `output`.");
    pc::def<repr_op>(cls, m, "__repr__", {}, "The registry tree under a header naming the object.");
}

}  // namespace classregistry

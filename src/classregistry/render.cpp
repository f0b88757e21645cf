// Rendering: any nested map as an indented text tree, and the registry's
// printable form.
//
// print_tree renders one level and has each child rendered by
// `self.print_tree`, then splits the child's text into lines and indents
// them. When print_tree is the class's own (nothing overrides or patches
// it), the whole tree is rendered in one pass instead: every line is
// written once, with the indentation that the nested calls would give it,
// so the text is the same without re-splitting it at every level.
//
// Nesting is bounded by the module itself, the same way on every Python
// version: a rendering nests at most min(sys.getrecursionlimit(), 1000)
// maps on one thread, counting every level, also those reached through an
// override or a shim such as functools.partial; the next level raises
// RecursionError. Python's own check for C code counts differently from
// one version to the next, and on 3.13 lets a deep enough rendering
// through shims overflow the C stack.
#include "classregistry.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace classregistry {

namespace pc = pyclass;

namespace {

// The nesting bound (see the head of this file). The fixed cap keeps the C
// stack that the nested calls take well inside a thread's stack, whatever
// sits between the levels, also when sys.getrecursionlimit() is raised.
constexpr int max_tree_depth = 1000;
thread_local int tree_depth = 0;

class DepthGuard {
public:
    DepthGuard() {
        if (tree_depth >= std::min(Py_GetRecursionLimit(), max_tree_depth)) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while rendering a tree");
            throw py::error_already_set();
        }
        ++tree_depth;
    }
    ~DepthGuard() { --tree_depth; }
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;
};

// `not data`, or `data == {}`.
bool is_empty(py::handle data) {
    if (!is_true(data)) return true;
    PyObject *p = data.ptr();
    // A true value of these types never equals an empty map.
    if (PyUnicode_CheckExact(p) || PyDict_CheckExact(p) || PyType_CheckExact(p) ||
        PyLong_CheckExact(p) || PyBool_Check(p) || PyFloat_CheckExact(p) || PyList_CheckExact(p) ||
        PyTuple_CheckExact(p))
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
    PyObject *keys = PyDict_CheckExact(data.ptr()) ? PyDict_Keys(data.ptr())
                                                   : PySequence_List(data.ptr());
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

// `output + " = " + str(data)`, left to right: the first `+` fails before
// str(data) is ever asked for.
py::object value_line(py::handle output, py::handle data) {
    py::object head = concat(output, names().joint);
    return concat(head, pc::str(data));
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
    DepthGuard guard;
    py::list keys = sorted_keys(data);
    const Py_ssize_t count = PyList_GET_SIZE(keys.ptr());
    Text result(output);
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle key = PyList_GET_ITEM(keys.ptr(), i);
        // `self.print_tree(data=data[key], output="__ " + key)`, in Python's
        // order: the method, the value, then the label.
        py::object method = bound_op(self, ops().print_tree);
        py::object value = data[key];
        py::object label = concat(n.child_prefix, key);
        py::object temp_output = call_bound(method, {value, label}, n.kw_data_output);
        py::handle separator = i == count - 1 ? n.newline_indent : n.newline_connector;
        bool first = true;
        for (py::handle line : split_lines(temp_output)) {
            result.add(concat(first ? py::handle(n.newline_connector) : separator, line));
            first = false;
        }
    }
    return result.result();
}

// Byte storage for renderings, kept from one rendering to the next: a
// large tree is written into memory that is already mapped, instead of
// fresh pages that the system must fault in every time. A rendering that
// starts while the storage is taken (a nested or concurrent one) gets its
// own.
class Scratch {
public:
    Scratch() : taken_(!shared_taken_), bytes_(taken_ ? &shared_bytes_ : &own_bytes_) {
        if (taken_) shared_taken_ = true;
    }
    ~Scratch() {
        if (!taken_) return;
        // What an unusually large rendering needed is not kept for good.
        if (shared_bytes_.capacity() > (std::size_t{64} << 20)) std::string().swap(shared_bytes_);
        shared_taken_ = false;
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::string &bytes() { return *bytes_; }

private:
    static inline bool shared_taken_ = false;
    static inline std::string shared_bytes_;
    bool taken_;
    std::string own_bytes_;
    std::string *bytes_;
};

// A str written piece by piece: characters of one width (1, 2 or 4 bytes,
// widened when a piece needs more) in the scratch bytes, turned into one
// str at the end. Pieces of the buffer's width are copied as bytes.
class TextBuffer {
public:
    TextBuffer() : bytes_(scratch_.bytes()) { bytes_.clear(); }

    void write(py::handle piece) {
        PyObject *s = piece.ptr();
        make_ready(s);
        const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        const int kind = PyUnicode_KIND(s);
        if (kind == kind_) {
            const Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s);
            if (maxchar > maxchar_) maxchar_ = maxchar;
            bytes_.append(static_cast<const char *>(PyUnicode_DATA(s)), n * kind);
            return;
        }
        write_other_width(s, n, kind);
    }

    // ASCII text (the indentation and the fixed pieces).
    void write_ascii(const char *text, std::size_t size) {
        if (kind_ == PyUnicode_1BYTE_KIND) {
            bytes_.append(text, size);
            return;
        }
        for (std::size_t i = 0; i < size; ++i) append_wide(static_cast<Py_UCS4>(text[i]));
    }
    void write_ascii(const std::string &text, std::size_t size) { write_ascii(text.data(), size); }

    py::object finish() {
        const Py_ssize_t length = static_cast<Py_ssize_t>(bytes_.size() / kind_);
        if (length == 0) return names().empty;
        PyObject *text = PyUnicode_New(length, maxchar_);
        if (!text) throw py::error_already_set();
        std::memcpy(PyUnicode_DATA(text), bytes_.data(), bytes_.size());
        return py::reinterpret_steal<py::object>(text);
    }

private:
    void write_other_width(PyObject *s, std::size_t n, int kind) {
        if (kind > kind_) widen(kind);
        const Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s);
        if (maxchar > maxchar_) maxchar_ = maxchar;
        if (kind == kind_) {
            bytes_.append(static_cast<const char *>(PyUnicode_DATA(s)), n * kind);
            return;
        }
        const void *data = PyUnicode_DATA(s);
        for (std::size_t i = 0; i < n; ++i)
            append_wide(PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i)));
    }

    void append_wide(Py_UCS4 c) {
        if (kind_ == PyUnicode_2BYTE_KIND) {
            const Py_UCS2 v = static_cast<Py_UCS2>(c);
            bytes_.append(reinterpret_cast<const char *>(&v), sizeof v);
        } else {
            bytes_.append(reinterpret_cast<const char *>(&c), sizeof c);
        }
    }

    // Rewrites what is written so far in the wider `kind`.
    void widen(int kind) {
        std::string wider;
        wider.reserve(bytes_.capacity() / kind_ * kind);
        const std::size_t length = bytes_.size() / kind_;
        for (std::size_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind_, bytes_.data(), static_cast<Py_ssize_t>(i));
            if (kind == PyUnicode_2BYTE_KIND) {
                const Py_UCS2 v = static_cast<Py_UCS2>(c);
                wider.append(reinterpret_cast<const char *>(&v), sizeof v);
            } else {
                wider.append(reinterpret_cast<const char *>(&c), sizeof c);
            }
        }
        bytes_.swap(wider);
        kind_ = kind;
    }

    Scratch scratch_;
    std::string &bytes_;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 0;
};

// Exact strs in the order of Python's `<` for strs: by code point.
bool text_less(const py::object &a, const py::object &b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    const Py_ssize_t nx = PyUnicode_GET_LENGTH(x), ny = PyUnicode_GET_LENGTH(y);
    if (PyUnicode_KIND(x) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(y) == PyUnicode_1BYTE_KIND) {
        const int c = std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y),
                                  static_cast<std::size_t>(nx < ny ? nx : ny));
        return c != 0 ? c < 0 : nx < ny;
    }
    return PyUnicode_Compare(x, y) < 0;
}

// The whole tree in one pass, for the class's own print_tree: each node
// writes its lines with the indentation its ancestors would add.
//
// A node's first line starts with its parent's `rest` followed by "  |"
// (nothing at the very top); its other lines start with its own `rest`:
// the parent's, followed by "  |", or by "  " for the last child. Every
// `rest` is a prefix of the one member string `rest_` (a line feed, then
// connectors and indents), so indenting creates no objects at all.
class Renderer {
public:
    explicit Renderer(py::handle self) : self_(self), rest_("\n") {}

    // Renders `data` under the label "__ " + key, or under `output` at the
    // top (key null). `rest_` holds this node's rest; its parent's rest is
    // the first `parent` characters (the node's first line has none at the
    // top). With exact strs the label is written, not built.
    void node(py::handle data, py::handle key, py::handle output, std::size_t parent) {
        const Names &n = names();
        // The nested call gets "__ " + key before it looks at the value, so a
        // key that cannot be added to a str fails even under an empty value.
        // Only for an exact str is the label left to be written piecewise.
        py::object label;
        if (!key)
            label = py::reinterpret_borrow<py::object>(output);
        else if (!PyUnicode_CheckExact(key.ptr()))
            label = concat(n.child_prefix, key);
        if (is_empty(data)) {
            write_first(key, parent);
            return;
        }
        const bool plain_key = !label && !has_line_feed(key);
        if (!label && !plain_key) label = concat(n.child_prefix, key);
        if (!is_map(data)) {
            if (plain_key) {
                py::object value = pc::str(data);
                if (PyUnicode_CheckExact(value.ptr()) && !has_line_feed(value)) {
                    write_label(key, parent);
                    buffer_.write_ascii(" = ", 3);
                    buffer_.write(value);
                    return;
                }
                emit_text(concat(concat(concat(n.child_prefix, key), n.joint), value), key, parent);
                return;
            }
            emit_text(value_line(label, data), key, parent);
            return;
        }
        if (!plain_key && !PyUnicode_CheckExact(label.ptr())) {
            emit_text(render_level(self_, data, label), key, parent);
            return;
        }
        DepthGuard guard;
        if (plain_key)
            write_label(key, parent);
        else
            emit_text(label, key, parent);
        const std::size_t own = rest_.size();
        const std::size_t first_key = keys_.size();
        if (!push_sorted_keys(data)) {
            children(data, sorted_keys(data), own);
            return;
        }
        const std::size_t count = keys_.size() - first_key;
        const bool exact_dict = PyDict_CheckExact(data.ptr());
        // (After an error the renderer is dropped: no state to restore.)
        for (std::size_t i = 0; i < count; ++i) {
            // keys_ may grow (and move) below, so it is indexed afresh; it
            // holds the key until this node is done.
            py::handle child_key = keys_[first_key + i];
            rest_.append(i == count - 1 ? "  " : "  |");
            node(item(data, child_key, exact_dict), child_key, py::handle(), own);
            rest_.resize(own);
        }
        keys_.resize(first_key);
    }

    py::object text() { return buffer_.finish(); }

private:
    // The children of `data` in the order of `keys` (a list), for keys
    // that are not all exact strs.
    void children(py::handle data, const py::list &keys, std::size_t own) {
        const Py_ssize_t count = PyList_GET_SIZE(keys.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::handle child_key = PyList_GET_ITEM(keys.ptr(), i);
            rest_.append(i == count - 1 ? "  " : "  |");
            node(item(data, child_key, false), child_key, py::handle(), own);
            rest_.resize(own);
        }
    }

    // Appends the keys of an exact dict whose keys are all exact strs to
    // keys_, sorted as `sorted(data)` sorts them; false (and keys_
    // unchanged) for any other map.
    bool push_sorted_keys(py::handle data) {
        if (!PyDict_CheckExact(data.ptr())) return false;
        const std::size_t first = keys_.size();
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(data.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                keys_.resize(first);
                return false;
            }
            make_ready(key);
            keys_.push_back(py::reinterpret_borrow<py::object>(key));
        }
        if (keys_.size() - first > 1)
            std::sort(keys_.begin() + static_cast<std::ptrdiff_t>(first), keys_.end(), text_less);
        return true;
    }

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
            return std::memchr(PyUnicode_DATA(s), '\n',
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))) != nullptr;
        return PyUnicode_FindChar(s, '\n', 0, PyUnicode_GET_LENGTH(s), 1) != -1;
    }

    // The start of a node's first line: its parent's rest and "  |", or
    // nothing at the top.
    void write_first(py::handle key, std::size_t parent) {
        if (!key) return;
        buffer_.write_ascii(rest_, parent);
        buffer_.write_ascii("  |", 3);
    }

    // A child's first line up to the end of its label "__ " + key.
    void write_label(py::handle key, std::size_t parent) {
        buffer_.write_ascii(rest_, parent);
        buffer_.write_ascii("  |__ ", 6);
        buffer_.write(key);
    }

    std::string first_prefix(py::handle key, std::size_t parent) const {
        return key ? rest_.substr(0, parent) + "  |" : std::string();
    }

    void emit(const std::string &prefix, py::handle line) {
        if (PyUnicode_CheckExact(line.ptr())) {
            buffer_.write_ascii(prefix, prefix.size());
            buffer_.write(line);
            return;
        }
        // What the nested calls would do: add the line to the indentation.
        py::object piece = concat(py::str(prefix), line);
        if (!PyUnicode_Check(piece.ptr())) {
            // Python's own TypeError for adding it to the text so far.
            PyObject *refused = PyUnicode_Concat(names().empty.ptr(), piece.ptr());
            if (refused) Py_DECREF(refused);  // cannot happen: piece is no str
            throw py::error_already_set();
        }
        buffer_.write(piece);
    }

    // A node's text, its first line after the node's first prefix and the
    // others after its rest.
    void emit_text(py::handle text, py::handle key, std::size_t parent) {
        const std::string first = first_prefix(key, parent);
        if (PyUnicode_CheckExact(text.ptr()) && !has_line_feed(text)) {
            emit(first, text);
            return;
        }
        const std::string rest = rest_;
        bool is_first = true;
        for (py::handle line : split_lines(text)) {
            emit(is_first ? first : rest, line);
            is_first = false;
        }
    }

    py::handle self_;
    TextBuffer buffer_;
    std::string rest_;
    std::vector<py::object> keys_;
};

py::object print_tree(py::handle self, py::handle data, py::handle output) {
    if (!runs_own(self, ops().rendering) || !PyUnicode_CheckExact(output.ptr()))
        return render_level(self, data, output);
    if (is_empty(data)) return names().empty;
    if (!is_map(data)) return value_line(output, data);
    Renderer renderer(self);
    renderer.node(data, py::handle(), output, 0);
    return renderer.text();
}

py::object print_tree_op(py::handle self, const Args &a) { return print_tree(self, a[0], a[1]); }

py::object repr_op(py::handle self, const Args &) {
    const Names &n = names();
    py::object identity = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(self.ptr()));
    if (!identity) throw py::error_already_set();
    py::object hex = py::reinterpret_steal<py::object>(PyNumber_ToBase(identity.ptr(), 16));
    if (!hex) throw py::error_already_set();
    py::object header = concat(py::str("plugins ("), pc::str(py::type::handle_of(self)));
    header = concat(header, py::str(" at "));
    header = concat(header, hex);
    header = concat(header, py::str(") "));
    if (runs_own(self, ops().rendering))
        return print_tree(self, attr_of(self, names().plugins_attr), header);
    // `self.print_tree(data=self._plugins, ...)`: the method first, then its arguments.
    py::object method = bound_op(self, ops().print_tree);
    py::object tree = attr_of(self, names().plugins_attr);
    return call_bound(method, {tree, header}, n.kw_data_output);
}

}  // namespace

void add_rendering(py::module_ &m, py::handle cls) {
    pc::def<print_tree_op>(cls, m, "print_tree",
                           {pc::arg("data"), pc::arg("output", py::str("plugin"))},
                           "Render `data` as an indented text tree under the label `output`.");
    pc::def<repr_op>(cls, m, "__repr__", {}, "The registry tree under a header naming the object.");
}

}  // namespace classregistry

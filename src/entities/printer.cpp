// The node printer behind str(node), node.__to_string(spacing) and repr(node).
// Runs with the interpreter lock held and calls no Python code while printing.
//
// A node printed at spacing s is, with I(s) for s spaces:
//   I(s) "Name: " name
//   then, when it has attributes, "\n" I(s) "Attributes:" and "\n" I(s) key ": " value per attribute,
//   then, when it has a text, "\n" I(s) "Text: " text,
//   then, when it has children, "\n" I(s) "Children:" and, per child, "\n" I(s) <child at s + 2 mod 256> "\n".
// A child's printout is copied into its parent's unchanged, so the whole tree is
// one stream: its first line carries the parent's indentation before its own, and
// it closes with a line break after its last line. The printer writes that stream
// in one pass with an explicit stack, in time linear in its length.
#include <cstdint>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/byte_builder.hpp"
#include "convert.hpp"
#include "node_methods.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kToStringSignature("Node.__to_string()", {"spacing"}, 0);

using Spacing = std::uint8_t;

CallResult<bool> append_value(ByteBuilder& out, const StrRef& value) {
    auto bytes = bytes_of(value);
    if (!bytes) return std::move(bytes).error();
    out.append(bytes.value());
    return true;
}

// Writes a node's own lines, up to and including its "Children:" label.
CallResult<bool> print_node_head(ByteBuilder& out, const NodeData& data, Spacing spacing) {
    out.append_repeated(' ', spacing);
    out.append("Name: ");
    auto name = append_value(out, data.name);
    if (!name) return name;
    if (!data.attrs.empty()) {
        out.push_back('\n');
        out.append_repeated(' ', spacing);
        out.append("Attributes:");
        for (auto entry : data.attrs) {
            out.push_back('\n');
            out.append_repeated(' ', spacing);
            auto key = append_value(out, entry.key);
            if (!key) return key;
            out.append(": ");
            auto value = append_value(out, entry.value);
            if (!value) return value;
        }
    }
    if (data.text) {
        out.push_back('\n');
        out.append_repeated(' ', spacing);
        out.append("Text: ");
        auto text = append_value(out, *data.text);
        if (!text) return text;
    }
    if (!data.children.empty()) {
        out.push_back('\n');
        out.append_repeated(' ', spacing);
        out.append("Children:");
    }
    return true;
}

struct PrintFrame {
    // Borrowed: no Python code runs while printing, and every node is kept
    // alive by its parent, the root by the caller.
    PyObject* const* next;
    PyObject* const* end;
    Spacing spacing;
};

// The printout of `root` at `spacing`.
CallResult<ByteBuilder> print_node(PyObject* root, Spacing spacing) {
    ByteBuilder out;
    std::vector<PrintFrame> stack;
    const NodeData& root_data = node_data(root);
    auto head = print_node_head(out, root_data, spacing);
    if (!head) return std::move(head).error();
    stack.push_back(PrintFrame{root_data.children.begin(), root_data.children.end(), spacing});
    while (!stack.empty()) {
        PrintFrame& frame = stack.back();
        if (frame.next == frame.end) {
            stack.pop_back();
            // The line break that closes this node's block in its parent.
            if (!stack.empty()) out.push_back('\n');
            continue;
        }
        PyObject* child = *frame.next++;
        Spacing parent_spacing = frame.spacing;
        auto child_spacing = static_cast<Spacing>(parent_spacing + 2);
        out.push_back('\n');
        out.append_repeated(' ', parent_spacing);
        const NodeData& child_data = node_data(child);
        auto child_head = print_node_head(out, child_data, child_spacing);
        if (!child_head) return std::move(child_head).error();
        stack.push_back(PrintFrame{child_data.children.begin(), child_data.children.end(), child_spacing});
    }
    return out;
}

CallResult<PyRef> printout_str(PyObject* node, Spacing spacing) {
    auto printed = print_node(node, spacing);
    if (!printed) return std::move(printed).error();
    return new_str(printed.value().view());
}

// The `spacing` argument: absent means 0; otherwise an integer from 0 to 255.
CallResult<Spacing> spacing_argument(PyObject* object) {
    if (object == nullptr) return Spacing{0};
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) return CallError::captured().noting("spacing");
    if (value < 0) return CallError::overflow("number too small to fit in target type").noting("spacing");
    if (value > 255) return CallError::overflow("number too large to fit in target type").noting("spacing");
    return static_cast<Spacing>(value);
}

CallResult<PyRef> node_to_string_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    auto bound = bind_arguments(kToStringSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto spacing = spacing_argument(bound.value()[0]);
    if (!spacing) return std::move(spacing).error();
    return printout_str(self, spacing.value());
}

CallResult<PyRef> node_repr_body(PyObject* self) {
    auto name = bytes_of(node_data(self).name);
    if (!name) return std::move(name).error();
    ByteBuilder out(name.value().size() + 6);
    out.append("Node(");
    out.append(name.value());
    out.push_back(')');
    return new_str(out.view());
}

}  // namespace

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return node_to_string_body(self, args, nargs, kwnames); });
}

PyObject* node_tp_str(PyObject* self) {
    return call_boundary([&] { return printout_str(self, 0); });
}

PyObject* node_tp_repr(PyObject* self) {
    return call_boundary([&] { return node_repr_body(self); });
}

}  // namespace vorlane

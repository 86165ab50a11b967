// Node.from_dict(dict_): extraction of the argument into a NodeMap, then building
// the node tree from it bottom-up with an explicit stack. Runs with the interpreter
// lock held.
#include <optional>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "dict_extraction.hpp"
#include "entities/hashmap_types.hpp"
#include "node_methods.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kFromDictSignature("Node.from_dict()", {"dict_"}, 1);

// A node being built: its name and attributes taken, its children created one by
// one from `child_maps`, its text taken from `map` once they are all done.
struct BuildFrame {
    NodeMap map;
    StrRef name;
    StringMap attrs;
    NodeMapList child_maps;
    ChildList children;
    std::size_t next_child = 0;
};

// The value under `key` when it holds variant `variant`, else null.
template <std::size_t variant>
auto* take_variant(NodeMap& map, std::string_view key) {
    HashmapTypes* value = map.find(key);
    using Held = std::variant_alternative_t<variant, decltype(HashmapTypes::value)>;
    if (value == nullptr || value->variant() != variant) return static_cast<Held*>(nullptr);
    return &std::get<variant>(value->value);
}

// Takes "name", "attrs" and "children" out of `map`, in that order, failing on the
// first that is missing or of the wrong variant.
CallResult<BuildFrame> start_node(NodeMap&& map) {
    BuildFrame frame{std::move(map), StrRef(), StringMap(), NodeMapList(), ChildList(), 0};
    auto* name = take_variant<HashmapTypes::String>(frame.map, kNameKey);
    if (name == nullptr) return CallError::value_error("Invalid name");
    auto* attrs = take_variant<HashmapTypes::Map>(frame.map, kAttrsKey);
    if (attrs == nullptr) return CallError::value_error("Invalid attrs");
    auto* children = take_variant<HashmapTypes::Vec>(frame.map, kChildrenKey);
    if (children == nullptr) return CallError::value_error("Invalid children");
    frame.name = std::move(*name);
    frame.attrs = std::move(*attrs);
    frame.child_maps = std::move(*children);
    frame.children = ChildList(frame.child_maps.size());
    return frame;
}

// Takes the text, moves the attribute pairs into a new AttrMap and creates the node.
CallResult<PyRef> finish_node(BuildFrame& frame) {
    NodeData data;
    data.name = std::move(frame.name);
    if (auto* text = take_variant<HashmapTypes::String>(frame.map, kTextKey)) {
        data.text = std::move(*text);
    } else if (auto* nullable = take_variant<HashmapTypes::NullableString>(frame.map, kTextKey)) {
        data.text = std::move(*nullable);
    }
    if (!frame.attrs.empty()) {
        data.attrs = AttrMap(draw_hash_keys(), frame.attrs.size());
        frame.attrs.for_each([&](StringMap::Entry& entry) {
            // The pairs came from one map, so no key is refused here.
            (void)data.attrs.insert(std::move(entry.key), std::move(entry.value));
            return true;
        });
    }
    data.children = std::move(frame.children);
    return create_node_object(std::move(data));
}

// Builds the tree of `root`: each node is created as soon as all its children
// exist, children in sequence order. The first failure drops every frame, which
// releases the nodes created so far.
CallResult<PyRef> build_node_tree(NodeMap&& root) {
    std::vector<BuildFrame> stack;
    auto started = start_node(std::move(root));
    if (!started) return std::move(started).error();
    stack.push_back(std::move(started).value());
    while (true) {
        BuildFrame& frame = stack.back();
        if (frame.next_child == frame.child_maps.size()) {
            auto node = finish_node(frame);
            if (!node) return std::move(node).error();
            stack.pop_back();
            if (stack.empty()) return node;
            stack.back().children.push_back_stolen(std::move(node).value().release());  // steals
            continue;
        }
        NodeMap child(std::move(frame.child_maps.items()[frame.next_child]));
        ++frame.next_child;
        auto child_frame = start_node(std::move(child));
        if (!child_frame) return std::move(child_frame).error();
        stack.push_back(std::move(child_frame).value());
    }
}

CallResult<PyRef> node_from_dict_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kFromDictSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    PyObject* dict = bound.value()[0];
    if (dict == nullptr || !PyDict_Check(dict)) {
        return type_mismatch(dict == nullptr ? Py_None : dict, "dict").noting("dict_");
    }
    auto map = extract_node_map(dict);
    if (!map) {
        CallError error = std::move(map).error();
        if (error.kind() == CallError::Kind::Internal) return error;
        return std::move(error).noting("dict_");
    }
    return build_node_tree(std::move(map).value());
}

}  // namespace

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] { return node_from_dict_body(args, nargs, kwnames); });
}

}  // namespace vorlane

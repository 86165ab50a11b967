// take_snapshot over Node objects, with an explicit stack; lock held.
#include "entities/snapshot.hpp"

#include <vector>

#include "py_ref.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

void copy_fields(NodeSnapshot& target, const NodeData& source) {
    target.name = source.name.clone();
    if (source.text) target.text = source.text->clone();
    target.attrs = source.attrs.clone();
    target.children.resize(source.children.size());
}

struct SnapshotFrame {
    NodeSnapshot* target;
    PyRef node;  // held while its children are copied
    std::size_t next_child;
};

}  // namespace

NodeSnapshot take_snapshot(PyObject* node) {
    NodeSnapshot root;
    copy_fields(root, node_data(node));
    std::vector<SnapshotFrame> stack;
    stack.push_back(SnapshotFrame{&root, PyRef::share(node), 0});
    while (!stack.empty()) {
        SnapshotFrame& frame = stack.back();
        const NodeData& data = node_data(frame.node.get());
        if (frame.next_child == data.children.size()) {
            stack.pop_back();
            continue;
        }
        PyObject* child = data.children[frame.next_child];
        // Each child vector was sized before any child was copied, so these
        // pointers stay valid while the stack grows.
        NodeSnapshot* child_target = &frame.target->children[frame.next_child];
        ++frame.next_child;
        copy_fields(*child_target, node_data(child));
        stack.push_back(SnapshotFrame{child_target, PyRef::share(child), 0});
    }
    return root;
}

}  // namespace vorlane

// The four search methods of Node: one pre-order walk from the node itself, with an
// explicit stack, testing each node by name, attribute key or text. Runs with the
// interpreter lock held and calls no Python code during the walk.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "node_methods.hpp"
#include "search_type.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kSearchByNameSignature("Node.search_by_name()", {"name", "depth"}, 1);
const Signature kSearchByAttrSignature("Node.search_by_attr()", {"key", "depth"}, 1);
const Signature kSearchByTextSignature("Node.search_by_text()", {"text", "depth"}, 1);
const Signature kSearchSignature("Node.search()", {"by", "value", "depth"}, 2);

// Levels below the starting node that the walk may descend; negative: no limit.
using DepthLimit = std::int64_t;
constexpr DepthLimit kNoLimit = -1;

// The `depth` argument: absent for no limit; otherwise an integer (int, bool or an
// object with __index__) in the signed 32-bit range, whatever the width of C long.
CallResult<DepthLimit> depth_argument(PyObject* object) {
    if (object == nullptr) return kNoLimit;
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) return CallError::captured().noting("depth");
    auto wide = static_cast<long long>(value);
    if (wide < INT32_MIN || wide > INT32_MAX) {
        // The interpreter's own text for an int that does not fit a 32-bit C long.
        return CallError::overflow("Python int too large to convert to C long").noting("depth");
    }
    return wide < 0 ? kNoLimit : static_cast<DepthLimit>(wide);
}

// A checked equality of a stored string with the query: lengths first, then the
// bytes of a span after its range check, in one block comparison.
CallResult<bool> equals_query(const StrRef& stored, std::string_view query) {
    if (stored.size() != query.size()) return false;
    auto bytes = bytes_of(stored);
    if (!bytes) return std::move(bytes).error();
    return query.empty() || std::memcmp(bytes.value().data(), query.data(), query.size()) == 0;
}

struct NameTest {
    std::string_view query;
    CallResult<bool> operator()(const NodeData& data) const { return equals_query(data.name, query); }
};

struct AttrTest {
    std::string_view query;
    // One keyed lookup in the node's own map; the value is not looked at.
    CallResult<bool> operator()(const NodeData& data) const { return static_cast<bool>(data.attrs.find(query)); }
};

struct TextTest {
    std::string_view query;
    CallResult<bool> operator()(const NodeData& data) const {
        if (!data.text) return false;
        return equals_query(*data.text, query);
    }
};

struct SearchFrame {
    PyObject* const* next;
    PyObject* const* end;
    DepthLimit child_limit;  // the limit each of these children is visited with
};

// The limit of a node's children, given the node's own limit (which is not 0).
constexpr DepthLimit below(DepthLimit limit) noexcept { return limit < 0 ? kNoLimit : limit - 1; }

// Walks `root` in pre-order (a node before its children, each child's subtree
// before the next child's) and lists every node passing `test`, once per place it
// occupies in the tree. The nodes are borrowed during the walk: no Python code
// runs, and each is kept alive by its parent, the root by the caller.
template <typename Test>
CallResult<PyRef> search_walk(PyObject* root, DepthLimit limit, const Test& test) {
    std::vector<PyObject*> matches;
    std::vector<SearchFrame> stack;

    const NodeData& root_data = node_data(root);
    auto root_matches = test(root_data);
    if (!root_matches) return std::move(root_matches).error();
    if (root_matches.value()) matches.push_back(root);
    if (limit != 0 && !root_data.children.empty()) {
        stack.push_back(SearchFrame{root_data.children.begin(), root_data.children.end(), below(limit)});
    }

    while (!stack.empty()) {
        SearchFrame& frame = stack.back();
        if (frame.next == frame.end) {
            stack.pop_back();
            continue;
        }
        PyObject* node = *frame.next++;
        DepthLimit node_limit = frame.child_limit;
        const NodeData& data = node_data(node);
        auto node_matches = test(data);
        if (!node_matches) return std::move(node_matches).error();
        if (node_matches.value()) matches.push_back(node);
        if (node_limit != 0 && !data.children.empty()) {
            stack.push_back(SearchFrame{data.children.begin(), data.children.end(), below(node_limit)});
        }
    }

    // The list is created once, at its final length.
    PyRef list = PyRef::adopt(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    if (!list) return CallError::null_object();
    for (std::size_t i = 0; i < matches.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(matches[i]));  // steals
    }
    return list;
}

CallResult<PyRef> run_search(PyObject* self, SearchCriterion criterion, std::string_view query, DepthLimit limit) {
    switch (criterion) {
        case SearchCriterion::Tag: return search_walk(self, limit, NameTest{query});
        case SearchCriterion::Attr: return search_walk(self, limit, AttrTest{query});
        case SearchCriterion::Text: return search_walk(self, limit, TextTest{query});
    }
    return CallError::internal("unknown search criterion");
}

// The body of the three dedicated methods: (query, depth=None).
CallResult<PyRef> dedicated_search(const Signature& signature, SearchCriterion criterion, PyObject* self,
                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(signature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto query = utf8_argument(bound.value()[0], signature.name(0));
    if (!query) return std::move(query).error();
    auto limit = depth_argument(bound.value()[1]);
    if (!limit) return std::move(limit).error();
    return run_search(self, criterion, query.value(), limit.value());
}

CallResult<PyRef> node_search_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kSearchSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto criterion = search_criterion_argument(bound.value()[0], "by");
    if (!criterion) return std::move(criterion).error();
    auto query = utf8_argument(bound.value()[1], "value");
    if (!query) return std::move(query).error();
    auto limit = depth_argument(bound.value()[2]);
    if (!limit) return std::move(limit).error();
    return run_search(self, criterion.value(), query.value(), limit.value());
}

}  // namespace

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        return dedicated_search(kSearchByNameSignature, SearchCriterion::Tag, self, args, nargs, kwnames);
    });
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        return dedicated_search(kSearchByAttrSignature, SearchCriterion::Attr, self, args, nargs, kwnames);
    });
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        return dedicated_search(kSearchByTextSignature, SearchCriterion::Text, self, args, nargs, kwnames);
    });
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return node_search_body(self, args, nargs, kwnames); });
}

}  // namespace vorlane

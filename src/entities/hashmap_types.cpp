// Iterative teardown of nested node maps. No interpreter.
#include "entities/hashmap_types.hpp"

namespace vorlane {

namespace {

// Node maps whose destruction is owed by the draining loop of this thread.
struct TeardownList {
    std::vector<NodeMap> pending;
    bool draining = false;
};

TeardownList& teardown_list() noexcept {
    thread_local TeardownList list;
    return list;
}

}  // namespace

NodeMapList& NodeMapList::operator=(NodeMapList&& other) noexcept {
    if (this != &other) {
        tear_down();
        items_ = std::move(other.items_);
        other.items_.clear();
    }
    return *this;
}

NodeMapList::~NodeMapList() { tear_down(); }

void NodeMapList::tear_down() noexcept {
    if (items_.empty()) return;
    TeardownList& list = teardown_list();
    for (NodeMap& map : items_) {
        // An empty map (one already consumed) holds nothing nested: it goes with items_.
        if (map.empty()) continue;
        try {
            list.pending.push_back(std::move(map));
        } catch (...) {
            // No memory for the work list: the map is dropped in place, which
            // recurses, but only while memory is exhausted.
            NodeMap dropped(std::move(map));
        }
    }
    items_.clear();
    if (list.draining) return;
    list.draining = true;
    while (!list.pending.empty()) {
        // Dropping this map may drop lists nested in it, which add to `pending`.
        NodeMap victim(std::move(list.pending.back()));
        list.pending.pop_back();
    }
    list.draining = false;
    if (list.pending.capacity() > 4096) std::vector<NodeMap>().swap(list.pending);
}

}  // namespace vorlane

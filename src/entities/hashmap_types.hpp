// HashmapTypes and NodeMap: the dictionary form of a node tree between the Node
// objects and plain Python values, shared by to_dict and from_dict. Every string is
// an owned StrRef; nothing refers to a node or a document buffer. No interpreter.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "entities/keyed_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

struct HashmapTypes;

// The dictionary form of one node: "name", "attrs", "children", "text" and, from
// Python, any other keys. Keys are only looked up, never moved into a node, so
// they are std::string, whose short-string storage holds the four names without
// an allocation.
using NodeMap = KeyedMap<std::string, HashmapTypes>;

// Attribute pairs: owned key to owned value, both moved into an AttrMap as they are.
using StringMap = KeyedMap<StrRef, StrRef>;

// The ordered node maps of a `Vec` value. Dropping one tears the nested maps down
// with an explicit work list, so a chain of any depth is freed without native
// recursion.
class NodeMapList {
public:
    NodeMapList() noexcept = default;
    NodeMapList(NodeMapList&& other) noexcept = default;
    NodeMapList& operator=(NodeMapList&& other) noexcept;
    NodeMapList(const NodeMapList&) = delete;
    NodeMapList& operator=(const NodeMapList&) = delete;
    ~NodeMapList();

    [[nodiscard]] std::vector<NodeMap>& items() noexcept { return items_; }
    [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }

private:
    // Moves the maps onto this thread's teardown list and drains it unless an
    // outer teardown on this thread is already draining it.
    void tear_down() noexcept;

    std::vector<NodeMap> items_;
};

// One value of a node map. The order of the alternatives is the order in which
// conversion from Python tries them.
struct HashmapTypes {
    enum Variant : std::size_t { String = 0, Vec = 1, NullableString = 2, Map = 3 };

    std::variant<StrRef, NodeMapList, std::optional<StrRef>, StringMap> value;

    [[nodiscard]] Variant variant() const noexcept { return static_cast<Variant>(value.index()); }

    static HashmapTypes string(StrRef text) {
        return HashmapTypes{decltype(value)(std::in_place_index<String>, std::move(text))};
    }
    static HashmapTypes vec(NodeMapList maps) {
        return HashmapTypes{decltype(value)(std::in_place_index<Vec>, std::move(maps))};
    }
    static HashmapTypes nullable_string(std::optional<StrRef> text) {
        return HashmapTypes{decltype(value)(std::in_place_index<NullableString>, std::move(text))};
    }
    static HashmapTypes map(StringMap pairs) {
        return HashmapTypes{decltype(value)(std::in_place_index<Map>, std::move(pairs))};
    }
};

// The four keys of a node map.
inline constexpr std::string_view kNameKey = "name";
inline constexpr std::string_view kAttrsKey = "attrs";
inline constexpr std::string_view kChildrenKey = "children";
inline constexpr std::string_view kTextKey = "text";

}  // namespace vorlane

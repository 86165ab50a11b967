// Argument conversions shared by the entry points.
#include "convert.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "write/text_units.hpp"

namespace vorlane {

CallResult<std::string_view> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(str, &size);
    if (bytes == nullptr) return CallError::captured();
    return std::string_view(bytes, static_cast<std::size_t>(size));
}

std::optional<std::string_view> stored_utf8(PyObject* str) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    }
    // Every other str, compact or not, starts with the compact layout, which holds
    // the UTF-8 form once the interpreter has made it.
    const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(str);
    if (compact->utf8 == nullptr) return std::nullopt;
    return std::string_view(compact->utf8, static_cast<std::size_t>(compact->utf8_length));
}

CallResult<CodeUnits> code_units_of(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return CallError::captured();
#endif
    return CodeUnits{PyUnicode_DATA(str), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)),
                     static_cast<unsigned>(PyUnicode_KIND(str))};
}

CallResult<std::string_view> utf8_argument(PyObject* object, const char* parameter) {
    if (object == nullptr || !PyUnicode_Check(object)) {
        return type_mismatch(object == nullptr ? Py_None : object, "str").noting(parameter);
    }
    auto bytes = utf8_of(object);
    if (!bytes) return std::move(bytes).error().noting(parameter);
    return bytes.value();
}

PyObject* str_from_utf8(std::string_view bytes) noexcept {
    bool ascii = bytes.size() > 1;
    if (ascii) {
        std::uint64_t high_bits = 0;
        std::size_t offset = 0;
        for (; offset + 8 <= bytes.size(); offset += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + offset, 8);
            high_bits |= word;
        }
        for (; offset < bytes.size(); ++offset) high_bits |= static_cast<unsigned char>(bytes[offset]);
        ascii = (high_bits & 0x8080808080808080ULL) == 0;
    }
    if (ascii) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
        if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
        return text;
    }
    std::optional<TextShape> shape = bytes.size() > 1 ? text_shape(bytes) : std::nullopt;
    if (!shape) return PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(shape->length), shape->max_char);
    if (text == nullptr) return nullptr;
    void* units = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: (void)utf8_to_ucs1(bytes, static_cast<std::uint8_t*>(units), shape->length); break;
        case PyUnicode_2BYTE_KIND: (void)utf8_to_ucs2(bytes, static_cast<std::uint16_t*>(units), shape->length); break;
        default: (void)utf8_to_ucs4(bytes, static_cast<std::uint32_t*>(units), shape->length); break;
    }
    return text;
}

PyObject* dict_with_room(std::size_t count) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    // An empty dict's first table holds five items; a larger map would grow it at
    // the sixth insert, so it gets a table of its final size at once.
    if (count > 5) return _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
#else
    (void)count;
#endif
    return PyDict_New();
}

CallResult<PyRef> new_str(std::string_view bytes) {
    PyRef text = PyRef::adopt(str_from_utf8(bytes));
    if (!text) return CallError::null_object();
    return text;
}

}  // namespace vorlane

namespace vorlane {

CallError not_a_sequence(PyObject* object) {
    // The class is fetched once and kept for the life of the process.
    static PyObject* sequence_class = nullptr;
    if (sequence_class == nullptr) {
        PyRef module = PyRef::adopt(PyImport_ImportModule("collections.abc"));
        if (!module) return CallError::captured();
        PyObject* found = PyObject_GetAttrString(module.get(), "Sequence");
        if (found == nullptr) return CallError::captured();
        if (sequence_class == nullptr) {
            sequence_class = found;
        } else {
            Py_DECREF(found);
        }
    }
    PyRef name = PyRef::adopt(PyType_GetName(reinterpret_cast<PyTypeObject*>(sequence_class)));
    if (!name) return CallError::captured();
    auto text = utf8_of(name.get());
    if (!text) return std::move(text).error();
    return type_mismatch(object, std::string(text.value()).c_str());
}

AttrMap attr_map_from(AttrPairs&& attrs) {
    auto& pairs = attrs.pairs;
    if (pairs.empty()) return AttrMap();
    if (!attrs.keys_distinct) {
        std::unordered_map<std::string_view, std::size_t> first_index;
        std::size_t kept = 0;
        for (std::size_t index = 0; index < pairs.size(); ++index) {
            // The bytes of an owned StrRef stay where they are when it is moved.
            auto [place, inserted] = first_index.emplace(pairs[index].first.raw(), kept);
            if (inserted) {
                if (kept != index) pairs[kept] = std::move(pairs[index]);
                ++kept;
            } else {
                pairs[place->second].second = std::move(pairs[index].second);
            }
        }
        pairs.resize(kept);
    }
    AttrMap map(draw_hash_keys(), pairs.size());
    for (auto& [key, value] : pairs) (void)map.insert(std::move(key), std::move(value));
    return map;
}

}  // namespace vorlane

// Argument conversions shared by the entry points.
#include "convert.hpp"

#include <string_view>
#include <unordered_map>

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

CallResult<PyRef> new_str(std::string_view bytes) {
    PyRef text = PyRef::adopt(PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
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

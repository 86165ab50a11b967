// Fuzz target for parse_document on arbitrary bytes, with the root tag taken from
// the input (see fuzz_document.hpp). Whatever the bytes, the parse returns either
// a tree rooted at an element of that name whose spans all lie in the buffer, or
// an error whose offset lies in the document; either way, once the result is gone
// the buffer holds only the reference this target took.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.hpp"
#include "fuzz_document.hpp"
#include "read/parse_document.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorlane;
    const auto input = fuzzing::split_document_input(data, size);
    if (!input) return 0;
    BufferRef buffer = fuzzing::make_document_buffer(input->document);
    const bool valid_utf8 = fuzzing::is_valid_utf8(input->document);
    {
        auto result = parse_document(buffer.get(), input->root_tag);
        if (result) {
            const ParsedElement& root = result.value();
            FUZZ_CHECK(root.name.raw() == input->root_tag);
            fuzzing::check_parsed_tree(root, buffer.get(), valid_utf8);
        } else {
            const ReaderError& error = result.error();
            FUZZ_CHECK(!error.message().empty());
            switch (error.kind()) {
                case ReaderError::Kind::Scan:
                case ReaderError::Kind::Malformed:
                case ReaderError::Kind::UnknownEntity:
                    FUZZ_CHECK(error.offset() <= input->document.size());
                    break;
                case ReaderError::Kind::RootNotFound:
                    FUZZ_CHECK(error.name() == input->root_tag);
                    break;
                case ReaderError::Kind::UnclosedAtEnd:
                    FUZZ_CHECK(!error.name().empty());
                    break;
            }
        }
    }
    FUZZ_CHECK(buffer->use_count() == 1);
    return 0;
}

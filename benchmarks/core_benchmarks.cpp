// Throughput of the reader's core on generated documents of about 20 MB with
// non-ASCII text: memchr over the same bytes as the floor, both index builders, the
// builder that build_index picks, and the full parse of the root element (its
// release included, since every iteration drops the tree it built), gathered into a
// tree or handed on element by element as the module does. No interpreter.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "index/markup_bitmaps.hpp"
#include "index/structural_index.hpp"
#include "read/parse_document.hpp"
#include "storage/document_buffer.hpp"

namespace vorlane {
namespace {

constexpr std::size_t kDocumentBytes = 20u << 20;

struct Document {
    const char* label;
    const char* root_tag;
    std::string bytes;
};

// Records of 4 to 8 attributes each, with item children that carry attributes too:
// the shape of a database or log export.
std::string make_record_document(std::mt19937& random) {
    static const char* const keys[] = {"id", "name", "email", "city", "score", "created", "status", "code"};
    static const char* const words[] = {"alpha", "Genève", "gamma", "Zürich", "north", "Łódź", "2024-06-01",
                                        "active", "東京", "user@example.org"};
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<records>\n";
    auto attributes = [&](std::string& into) {
        const unsigned count = 4 + random() % 5;
        for (unsigned i = 0; i < count; ++i) {
            into += ' ';
            into += keys[i];
            into += "=\"";
            into += words[random() % 10];
            if (random() % 2) into += std::to_string(random() % 100000);
            into += '"';
        }
    };
    for (unsigned record = 0; out.size() < kDocumentBytes; ++record) {
        out += "  <record";
        attributes(out);
        out += ">\n";
        const unsigned items = 1 + random() % 3;
        for (unsigned item = 0; item < items; ++item) {
            out += "    <item";
            attributes(out);
            out += "/>\n";
        }
        out += "  </record>\n";
    }
    out += "</records>\n";
    return out;
}

// Long paragraphs of prose with entity and character references and a little
// inline markup: few tags, long text runs.
std::string make_text_document(std::mt19937& random) {
    static const char* const words[] = {"the", "reader", "scans", "markup", "quickly", "and", "déjà",
                                        "&amp;", "&lt;tag&gt;", "caf&#233;", "&#x201C;quoted&#x201D;",
                                        "Straße", "positions", "東京", "copying"};
    std::string out = "<book>\n";
    while (out.size() < kDocumentBytes) {
        out += "<chapter>\n<title>Chapter</title>\n";
        for (int paragraph = 0; paragraph < 8; ++paragraph) {
            out += "<p>";
            const unsigned count = 60 + random() % 80;
            for (unsigned i = 0; i < count; ++i) {
                out += words[random() % 15];
                out += i % 23 == 22 ? ".\n" : " ";
                if (random() % 40 == 0) out += "<em>emphasis</em> ";
            }
            out += "</p>\n";
        }
        out += "</chapter>\n";
    }
    out += "</book>\n";
    return out;
}

// Empty-element tags with a dozen short attributes: far more than five double
// quotes per '<', so build_index picks the bitmap builder.
std::string make_quote_dense_document(std::mt19937& random) {
    std::string out = "<grid>\n";
    while (out.size() < kDocumentBytes) {
        out += "<c";
        for (char key = 'a'; key < 'm'; ++key) {
            out += ' ';
            out += key;
            out += "=\"";
            out += std::to_string(random() % 1000);
            out += '"';
        }
        out += "/>\n";
    }
    out += "</grid>\n";
    return out;
}

const std::vector<Document>& documents() {
    static const std::vector<Document> docs = [] {
        std::mt19937 random(2024);
        std::vector<Document> built;
        built.push_back({"records", "records", make_record_document(random)});
        built.push_back({"text", "book", make_text_document(random)});
        built.push_back({"quote_dense", "grid", make_quote_dense_document(random)});
        return built;
    }();
    return docs;
}

void set_throughput(benchmark::State& state, const Document& doc) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(doc.bytes.size()));
    state.counters["MB"] = static_cast<double>(doc.bytes.size()) / 1e6;
}

// The floor: memchr for '<' repeatedly through the same bytes.
void memchr_scan(benchmark::State& state, const Document& doc) {
    const char* data = doc.bytes.data();
    const std::size_t length = doc.bytes.size();
    for (auto _ : state) {
        std::size_t count = 0;
        const char* pos = data;
        const char* end = data + length;
        while (const void* hit = std::memchr(pos, '<', static_cast<std::size_t>(end - pos))) {
            ++count;
            pos = static_cast<const char*>(hit) + 1;
        }
        benchmark::DoNotOptimize(count);
    }
    set_throughput(state, doc);
}

template <Result<StructuralIndex, ScanError> (*Builder)(std::string_view)>
void index_builder(benchmark::State& state, const Document& doc) {
    for (auto _ : state) {
        auto index = Builder(doc.bytes);
        if (!index.ok()) {
            state.SkipWithError("index build failed");
            break;
        }
        benchmark::DoNotOptimize(index.value().tag_starts.data());
    }
    set_throughput(state, doc);
}

void markup_bitmaps(benchmark::State& state, const Document& doc) {
    for (auto _ : state) {
        MarkupBitmaps bitmaps = scan_markup_bitmaps(doc.bytes);
        benchmark::DoNotOptimize(bitmaps.open_bits.data());
    }
    set_throughput(state, doc);
}

// A fresh buffer per iteration (made untimed): the attribute blocks of a parse live in
// its buffer's arena, which only goes with the buffer.
BufferRef fresh_buffer(benchmark::State& state, const Document& doc) {
    state.PauseTiming();
    auto bytes = std::make_unique<char[]>(doc.bytes.size());
    std::memcpy(bytes.get(), doc.bytes.data(), doc.bytes.size());
    BufferRef buffer = BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), doc.bytes.size()));
    state.ResumeTiming();
    return buffer;
}

// The whole reader core: index, walk, tokenizing and decoding of the root's subtree,
// gathered into a tree of element records.
void parse_root(benchmark::State& state, const Document& doc) {
    for (auto _ : state) {
        BufferRef buffer = fresh_buffer(state, doc);
        auto root = parse_document(buffer.get(), doc.root_tag);
        if (!root.ok()) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(root.value().children.data());
    }
    set_throughput(state, doc);
}

// The reader core as the module runs it, with each element handed on as it is
// finished (here released at once, where the module makes its node).
class DroppingSink final : public ElementSink {
public:
    void finish(ParsedElement&& element, std::size_t) override {
        ParsedElement finished(std::move(element));
        ++count;
    }
    std::size_t count = 0;
};

void parse_streamed(benchmark::State& state, const Document& doc) {
    for (auto _ : state) {
        BufferRef buffer = fresh_buffer(state, doc);
        DroppingSink sink;
        auto parsed = parse_document(buffer.get(), doc.root_tag, sink);
        if (!parsed.ok()) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(sink.count);
    }
    set_throughput(state, doc);
}

void register_benchmarks() {
    using Body = void (*)(benchmark::State&, const Document&);
    const struct {
        const char* name;
        Body body;
    } kinds[] = {
        {"memchr", memchr_scan},
        {"index_sequential", index_builder<build_index_sequential>},
        {"index_bitmap", index_builder<build_index_bitmap>},
        {"scan_markup_bitmaps", markup_bitmaps},
        {"build_index", index_builder<build_index>},
        {"parse_document", parse_root},
        {"parse_document_streamed", parse_streamed},
    };
    for (const auto& kind : kinds) {
        for (const Document& doc : documents()) {
            const std::string name = std::string(kind.name) + "/" + doc.label;
            benchmark::RegisterBenchmark(name.c_str(), kind.body, doc)->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace
}  // namespace vorlane

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    vorlane::register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

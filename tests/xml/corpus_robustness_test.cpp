// The reader over real metadata documents, and over the same documents damaged at random: it must
// read every real document to the end, and on damaged ones it may fail but never crash, hang or
// read outside its buffer (the sanitizer build watches the last part).

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/damage.hpp"
#include "support/test_paths.hpp"
#include "xml/xml.hpp"

namespace ambrel::xml {
namespace {

namespace fs = std::filesystem;

struct Document {
    std::string path;
    std::string bytes;
};

std::vector<Document> load_corpus() {
    std::vector<Document> documents;
    const fs::path root = ambrel::testing::corpus_dir();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return documents;
    for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        documents.push_back({entry.path().string(), std::string(std::istreambuf_iterator<char>(in), {})});
    }
    std::sort(documents.begin(), documents.end(),
              [](const Document& a, const Document& b) { return a.path < b.path; });
    return documents;
}

// Walks a document the way consumers do (attributes, namespaces, references, text collection) and
// checks that every event advances and lies inside the input. Returns the first error, if any.
std::optional<Error> exercise(std::string_view input) {
    Reader reader(input);
    std::size_t previous_end = 0;
    std::size_t events = 0;
    while (true) {
        auto event = reader.next();
        if (!event) return event.error();
        EXPECT_EQ(event->begin, previous_end);
        EXPECT_LE(event->end, input.size());
        if (event->kind == EventKind::Eof) return std::nullopt;
        EXPECT_GT(event->end, event->begin) << "an event that does not advance would loop forever";
        if (event->end <= event->begin || ++events > input.size()) {
            ADD_FAILURE() << "the reader stopped advancing";
            return std::nullopt;
        }
        previous_end = event->end;
        switch (event->kind) {
            case EventKind::Start:
            case EventKind::Empty: {
                (void)reader.resolve_element(*event);
                AttributeIterator attributes = event->attributes();
                for (int guard = 0; guard < 10000; ++guard) {
                    auto attribute = attributes.next();
                    if (!attribute || !attribute->has_value()) break;
                    (void)(*attribute)->normalized_value();
                }
                // Every few elements, collect the whole text the way the readers do.
                if (event->kind == EventKind::Start && event->begin % 7 == 0) {
                    auto text = reader.read_text(*event);
                    if (!text) return text.error();
                    previous_end = reader.position();
                }
                break;
            }
            case EventKind::End: (void)reader.resolve_element(*event); break;
            case EventKind::GeneralRef:
            case EventKind::CharRef: {
                std::string out;
                (void)append_reference(out, *event);
                break;
            }
            case EventKind::Text: (void)unescape(event->raw); break;
            default: break;
        }
    }
}

TEST(XmlCorpus, ReadsEveryCorpusDocumentToTheEnd) {
    const auto documents = load_corpus();
    ASSERT_FALSE(documents.empty()) << "no corpus under " << ambrel::testing::corpus_dir();
    for (const Document& document : documents) {
        const std::string_view body = strip_leading_boms(document.bytes);
        Reader reader(body);
        std::size_t elements = 0;
        while (true) {
            auto event = reader.next();
            ASSERT_TRUE(event) << document.path << ": " << event.error().message();
            if (event->kind == EventKind::Eof) break;
            if (event->kind == EventKind::Start || event->kind == EventKind::Empty) ++elements;
        }
        EXPECT_EQ(reader.depth(), 0u) << document.path;
        EXPECT_GT(elements, 0u) << document.path;
        EXPECT_FALSE(exercise(body).has_value()) << document.path;
    }
}

TEST(XmlCorpus, SurvivesRandomlyDamagedDocuments) {
    const auto documents = load_corpus();
    ASSERT_FALSE(documents.empty()) << "no corpus under " << ambrel::testing::corpus_dir();
    std::mt19937_64 random(0x5eed'a3b7'2026ULL);
    constexpr int kMutationsPerDocument = 48;
    std::size_t failed = 0;
    std::size_t total = 0;
    for (const Document& document : documents) {
        for (int m = 0; m < kMutationsPerDocument; ++m) {
            const std::string damaged = ambrel::testing::damage_document(document.bytes, random);
            // An exact-size heap copy without a terminating NUL, so that a read one byte past the
            // end is caught by the address sanitizer.
            auto buffer = std::make_unique<char[]>(damaged.size());
            std::copy(damaged.begin(), damaged.end(), buffer.get());
            const std::string_view input(buffer.get(), damaged.size());
            const std::optional<Error> error = exercise(input);
            ++total;
            if (error) {
                ++failed;
                EXPECT_LE(error->offset, input.size());
                EXPECT_FALSE(error->message().empty());
            }
        }
    }
    // Damage must be noticed at least sometimes, and must not make everything fail.
    EXPECT_GT(failed, 0u);
    EXPECT_LT(failed, total);
}

}  // namespace
}  // namespace ambrel::xml

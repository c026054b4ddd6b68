// The custom field documents of the metadata corpus through the three field parsers, and the same
// documents damaged at random (fixed seed) through all ten parsers: real documents parse, damaged
// ones end in a result or one error, never a crash or a read outside the buffer (the sanitizer
// build watches that part).

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "parsers_under_test.hpp"
#include "support/damage.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFieldSuffix = ".field-meta.xml";

struct FieldDocument {
    std::string full_name;  // Object.Field
    std::string text;
};

std::vector<FieldDocument> corpus_fields() {
    std::vector<FieldDocument> fields;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(ambrel::testing::corpus_dir(), ec)) {
        const std::string file = entry.path().filename().string();
        if (!entry.is_regular_file() || !file.ends_with(kFieldSuffix)) continue;
        const std::string object = entry.path().parent_path().parent_path().filename().string();
        const std::string field = file.substr(0, file.size() - kFieldSuffix.size());
        fields.push_back({fmt::format("{}.{}", object, field), ambrel::testing::read_file(entry.path())});
    }
    std::sort(fields.begin(), fields.end(),
              [](const FieldDocument& a, const FieldDocument& b) { return a.full_name < b.full_name; });
    return fields;
}

TEST(ReferenceParsersOnTheCorpus, EveryFieldDocumentParsesAndLookupsGiveTheirTargets) {
    const auto fields = corpus_fields();
    ASSERT_FALSE(fields.empty()) << "no custom field documents under " << ambrel::testing::corpus_dir();
    const std::map<std::string, std::set<std::string>> expected_targets = {
        {"Case.Product__c", {"Product__c"}},
        {"Order_Item__c.Order__c", {"Order__c"}},
        {"Order_Item__c.Product__c", {"Product__c"}},
        {"Order__c.Account__c", {"Account"}},
        {"Product__c.Product_Family__c", {"Product_Family__c"}},
        {"Property__c.Broker__c", {"Broker__c"}},
    };
    std::map<std::string, std::set<std::string>> targets;
    for (const FieldDocument& field : fields) {
        SCOPED_TRACE(field.full_name);
        const auto rollup = rollup_reader::parse_rollup_references(field.full_name, field.text);
        ASSERT_TRUE(rollup) << rollup.error().message();
        EXPECT_EQ(*rollup, rollup_reader::RollupReferences{});
        const auto value_set = value_set_reader::parse_global_value_set_reference(field.full_name, field.text);
        ASSERT_TRUE(value_set) << value_set.error().message();
        EXPECT_FALSE(value_set->has_value());
        const auto lookup = lookup_reader::parse_lookup_references(field.full_name, field.text);
        ASSERT_TRUE(lookup) << lookup.error().message();
        EXPECT_TRUE(lookup->filter_fields.empty());
        if (!lookup->referenced_objects.empty()) targets[field.full_name] = lookup->referenced_objects;
    }
    EXPECT_EQ(targets, expected_targets);
}

// The document with its root renamed, so that every parser reads past its root check.
std::string with_root(std::string text, std::string_view root) {
    constexpr std::string_view kFieldRoot = "CustomField";
    for (std::size_t at = text.find(kFieldRoot); at != std::string::npos;
         at = text.find(kFieldRoot, at + root.size())) {
        text.replace(at, kFieldRoot.size(), root);
    }
    return text;
}

TEST(ReferenceParsersOnTheCorpus, DamagedDocumentsEndInAResultOrOneError) {
    const auto fields = corpus_fields();
    ASSERT_FALSE(fields.empty()) << "no custom field documents under " << ambrel::testing::corpus_dir();
    std::mt19937_64 random(0x7ef3'13a5'2026ULL);
    constexpr int kMutationsPerDocument = 24;
    std::size_t failed = 0;
    std::size_t total = 0;
    for (const FieldDocument& field : fields) {
        for (int m = 0; m < kMutationsPerDocument; ++m) {
            const std::string damaged = ambrel::testing::damage_document(field.text, random);
            for (const ParserUnderTest& parser : all_parsers()) {
                const std::string text = with_root(damaged, parser.root);
                // An exact-size heap copy without a terminating NUL, so that a read one byte past
                // the end is caught by the address sanitizer.
                auto buffer = std::make_unique<char[]>(text.size());
                std::copy(text.begin(), text.end(), buffer.get());
                const Flattened result = parser.parse(field.full_name, std::string_view(buffer.get(), text.size()));
                ++total;
                if (!result) {
                    ++failed;
                    EXPECT_TRUE(result.error().starts_with(
                        fmt::format("Invalid metadata in {}: ", field.full_name)))
                        << result.error();
                }
            }
        }
    }
    EXPECT_GT(failed, 0u);
    EXPECT_LT(failed, total);
}

}  // namespace
}  // namespace ambrel::metadata::testing

#include "apex_tests/test_candidates.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <re2/re2.h>

#include "metadata_types/metadata_type.hpp"
#include "text/text.hpp"

namespace ambrel::apex_tests {

namespace {

constexpr std::string_view kTestWord = "test";
constexpr std::string_view kNamespaceSeparator = "__";

bool is_deployable_metadata_change(const domain::ComponentDifference& row) {
    return row.deployable && row.change != domain::ChangeKind::NoChange &&
           (row.deploy_scope == domain::MetadataDeployScope::Full ||
            row.deploy_scope == domain::MetadataDeployScope::TrackingOnly);
}

}  // namespace

const re2::RE2& IS_TEST_ANNOTATION() {
    static const re2::RE2 pattern(R"((?i)@\s*istest)");
    return pattern;
}

std::vector<std::string> session_test_names(const std::vector<domain::ComponentDifference>& rows,
                                            const std::set<domain::ComponentKey>& selected) {
    std::vector<std::string> names;
    for (const domain::ComponentDifference& row : rows) {
        if (row.key().metadata_type != metadata_types::MetadataType::ApexClass) continue;
        if (!selected.contains(row.key())) continue;
        if (!is_deployable_metadata_change(row)) continue;
        if (row.key().name.find(kNamespaceSeparator) != std::string::npos) continue;
        if (!row.source.body || !re2::RE2::PartialMatch(row.source.body->text, IS_TEST_ANNOTATION())) continue;
        names.push_back(row.key().name);
    }
    return names;
}

std::vector<domain::ApexTestCandidate> collect_test_candidates(std::vector<std::string> session_names,
                                                               std::vector<std::string> target_names) {
    struct Entry {
        std::string lower;
        domain::ApexTestCandidate candidate;
    };
    std::vector<Entry> entries;
    std::unordered_set<std::string> seen;
    const auto take = [&](std::vector<std::string>& names, domain::TestCandidateOrigin origin, bool preselected) {
        for (std::string& name : names) {
            std::string lower = text::to_lower(name);
            if (lower.find(kTestWord) == std::string::npos) continue;
            if (!seen.insert(lower).second) continue;
            entries.push_back(Entry{std::move(lower), domain::ApexTestCandidate{std::move(name), origin, preselected}});
        }
    };
    take(session_names, domain::TestCandidateOrigin::Session, true);
    take(target_names, domain::TestCandidateOrigin::Target, false);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.lower < b.lower; });
    std::vector<domain::ApexTestCandidate> candidates;
    candidates.reserve(entries.size());
    for (Entry& entry : entries) candidates.push_back(std::move(entry.candidate));
    return candidates;
}

}  // namespace ambrel::apex_tests

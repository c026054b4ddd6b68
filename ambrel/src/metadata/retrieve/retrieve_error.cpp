#include "metadata/retrieve/retrieve_error.hpp"

#include <set>

#include <fmt/format.h>

namespace ambrel::metadata::retrieve {
namespace {

std::string status_text(const std::optional<std::int64_t>& status) {
    return status ? fmt::format("Some({})", *status) : std::string("None");
}

}  // namespace

std::string problems_suffix(const std::vector<std::string>& problems) {
    std::vector<std::string_view> unique;
    std::set<std::string_view> seen;
    for (const std::string& problem : problems) {
        if (seen.insert(problem).second) unique.push_back(problem);
    }
    if (unique.empty()) return {};
    std::string joined;
    for (std::size_t i = 0; i < unique.size() && i < kMaxShownProblems; ++i) {
        if (i > 0) joined += "; ";
        joined += unique[i];
    }
    if (unique.size() > kMaxShownProblems) joined += fmt::format(" (and {} more)", unique.size() - kMaxShownProblems);
    return fmt::format("; Salesforce reported: {}", joined);
}

std::string MetadataRetrieveError::message() const {
    struct Texts {
        std::string operator()(const Cancelled&) const { return "Salesforce metadata retrieve was cancelled"; }
        std::string operator()(const Failed& failed) const {
            std::string text =
                fmt::format("Salesforce metadata retrieve failed for alias '{}' (exit code {}, CLI status {}, timed out: {})",
                            failed.alias, failed.exit_code, status_text(failed.status), failed.timed_out);
            if (failed.detail) text += fmt::format(": {}", *failed.detail);
            return text;
        }
        std::string operator()(const InvalidResponse& invalid) const {
            return fmt::format("Invalid Salesforce retrieve response for alias '{}': {}", invalid.alias, invalid.detail);
        }
        std::string operator()(const NoOutput& none) const {
            return fmt::format("Salesforce metadata retrieve for alias '{}' produced no metadata output{}", none.alias,
                               problems_suffix(none.problems));
        }
        std::string operator()(const Workspace&) const {
            return "Could not prepare the temporary Salesforce metadata workspace";
        }
        std::string operator()(const CouldNotRun& could_not) const {
            return fmt::format("Could not run Salesforce metadata retrieve for alias '{}'", could_not.alias);
        }
        std::string operator()(const InvalidPermissionMetadata& invalid) const {
            return fmt::format("Invalid Salesforce permission metadata for alias '{}', component {} '{}': {}",
                               invalid.alias, domain::name(invalid.kind), invalid.full_name, invalid.reason);
        }
        std::string operator()(const InvalidInput& input) const { return input.message; }
    };
    return std::visit(Texts{}, variant_);
}

}  // namespace ambrel::metadata::retrieve

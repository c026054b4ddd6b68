#pragma once

// The records the pre-deploy adaptation passes leave for the steps after the package run: per pass the
// notes by row key and the rows it failed before the deploy, plus what the retries of that pass need
// (the permission set names of a group pass, the object-field listings and the documents before the
// field filter of a context definition pass, the pending activations of the version-status pass, the
// user permission catalogues fetched once per org). A record whose pass did not run is empty.
//
// `apply` appends each note to the message of every result with the note's key (the message trimmed at
// its end, one space, the note; the note alone for a blank message) and then appends the pass's failed
// results. Plain data; never fails.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/pending_activation.hpp"
#include "app/user_permission_catalogs.hpp"
#include "cli/schema_catalog.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/component_key.hpp"
#include "domain/deployment.hpp"

namespace ambrel::app {

using RowNotes = std::map<domain::ComponentKey, std::string>;
using FailedResults = std::vector<domain::ComponentDeploymentResult>;
// A row's result message at one moment; with two results of one key the later one's wins.
using MessageSnapshot = std::map<domain::ComponentKey, std::string>;

// The notes and failures of one pass applied to the summary's component results.
void apply_pass(const RowNotes& notes, const FailedResults& failed, deployment::DeploymentSummary& summary);

MessageSnapshot message_snapshot(const std::vector<domain::ComponentDeploymentResult>& results);

// The message snapshots of one deploy, taken one after the other from the same results: `take` gives
// what `message_snapshot` would and replaces the snapshot it gave before, so a reference from an
// earlier `take` then shows the new one. While the results keep the keys they had at the previous
// `take` in the same places (notes and retries change messages and append results), only the changed
// messages and the appended results are written; otherwise the snapshot is built again. Not
// thread-safe.
class MessageSnapshots {
public:
    const MessageSnapshot& take(const std::vector<domain::ComponentDeploymentResult>& results);

private:
    void rebuild(const std::vector<domain::ComponentDeploymentResult>& results);

    MessageSnapshot snapshot_;
    // The entry of each result at the previous take, in result order.
    std::vector<MessageSnapshot::iterator> entries_;
};

// What the passes and the retries of rejected rows leave for the retries after unexpected errors,
// per row: the document the row last went out with, when a retry sent a trimmed one, and the notes
// its message carries after the target's own text. A row sent again after an unexpected error goes
// with that document (never the untrimmed one the target refused) and keeps those notes.
struct RetriedRows {
    std::map<domain::ComponentKey, std::string> documents;
    RowNotes notes;

    // A pass's notes, each appended to the row's notes as apply_pass appends it to the row's message.
    void add_notes(const RowNotes& pass_notes);
    // A retry replaced the row's result: the document it sent and the notes it wrote after the
    // target's text, which replace what the row carried before.
    void record(const domain::ComponentKey& key, std::string document, std::string row_notes);
    bool operator==(const RetriedRows&) const = default;
};

// The permission set or the profile pass.
struct ProfileFiltering {
    RowNotes notes;
    FailedResults failed;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const ProfileFiltering&) const = default;
};

struct PermissionSetGroupFiltering {
    RowNotes notes;
    FailedResults failed;
    // The target's names together with the package's: what a group may keep.
    std::set<std::string> allowed_names;
    // The names the target listed; the group retry works from these.
    std::set<std::string> target_names;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const PermissionSetGroupFiltering&) const = default;
};

struct ContextReleaseVersionFiltering {
    RowNotes notes;
    FailedResults failed;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const ContextReleaseVersionFiltering&) const = default;
};

struct ContextDefinitionFiltering {
    RowNotes notes;
    FailedResults failed;
    // Kept for the context definition retry, which starts again from the documents before the filter.
    cli::SchemaListing source_listing;
    cli::SchemaListing target_listing;
    std::map<domain::ComponentKey, std::string> documents_before_filter;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const ContextDefinitionFiltering&) const = default;
};

struct ExpressionSetVersionStatusFiltering {
    RowNotes notes;
    FailedResults failed;
    std::vector<PendingActivation> pending_activations;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const ExpressionSetVersionStatusFiltering&) const = default;
};

struct ExpressionSetDefinitionFiltering {
    RowNotes notes;
    FailedResults failed;
    void apply(deployment::DeploymentSummary& summary) const { apply_pass(notes, failed, summary); }
    bool operator==(const ExpressionSetDefinitionFiltering&) const = default;
};

// Every record of one deploy, in the order the passes run.
struct DeployPassRecords {
    PermissionSetGroupFiltering permission_set_groups;
    ContextReleaseVersionFiltering release_versions;
    ContextDefinitionFiltering context_definitions;
    ProfileFiltering permission_sets;
    ProfileFiltering profiles;
    UserPermissionCatalogs catalogs;
    ExpressionSetVersionStatusFiltering version_status;
    ExpressionSetDefinitionFiltering definitions;
};

}  // namespace ambrel::app

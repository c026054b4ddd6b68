#include "app/comparison_session.hpp"

#include <cctype>
#include <system_error>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/synthesis/tagging_model_names.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/files.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ChangeKind;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

std::atomic<ActiveVersionReader> active_version_reader{&read_active_version_names};

std::atomic<std::uint64_t> next_session_id{1};

// The short text of a system error, as the edit messages show it ("permission denied").
std::string error_kind_text(std::error_code error) {
    std::string message = error.message();
    if (!message.empty()) message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
    return message;
}

bool is_object_definition_format(const metadata_types::TypeDescriptor& descriptor) {
    const metadata_types::PathTemplate* path_template = descriptor.content_format.decomposed_template();
    return path_template != nullptr &&
           std::holds_alternative<metadata_types::PathTemplate::ObjectDefinition>(path_template->value);
}

// A changed row that a metadata deploy carries.
bool is_deployable_change(const ComponentDifference& row) {
    return row.deploy_scope != MetadataDeployScope::PermissionsOnly && row.deployable &&
           row.change != ChangeKind::NoChange;
}

bool is_selected(const SelectedKeys* selected, const ComponentKey& key) {
    return selected == nullptr || selected->contains(key);
}

}  // namespace

std::expected<std::vector<std::string>, std::string> read_active_version_names(std::string_view document) {
    auto parsed = data::bundles::document::parse_model_document(document);
    if (!parsed) return std::unexpected(parsed.error().message());
    std::vector<std::string> names;
    for (const std::string_view name : parsed->active_version_names()) names.emplace_back(name);
    return names;
}

ActiveVersionReader set_active_version_reader(ActiveVersionReader reader) noexcept {
    return active_version_reader.exchange(reader != nullptr ? reader : &read_active_version_names);
}

std::expected<std::vector<std::string>, std::string> active_version_names_of(std::string_view document) {
    return active_version_reader.load()(document);
}

RowKeyMap tagged_model_pairs(const std::vector<ComponentDifference>& rows) {
    std::set<ComponentKey> model_keys;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type == MetadataType::ConstraintModel) model_keys.insert(row.key());
    }
    RowKeyMap pairs;
    if (model_keys.empty()) return pairs;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::ProductBundle) continue;
        for (const std::string& name : data::bundles::synthesis::tagging_model_names(row.source.document)) {
            ComponentKey model{MetadataType::ConstraintModel, name};
            if (model_keys.contains(model)) pairs[row.key()].insert(std::move(model));
        }
    }
    return pairs;
}

std::set<ComponentKey> models_without_active_version(const std::vector<ComponentDifference>& rows,
                                                     const std::set<ComponentKey>& tagged) {
    std::set<ComponentKey> inactive;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::ConstraintModel || !tagged.contains(row.key())) continue;
        auto names = active_version_names_of(row.source.document);
        if (!names || names->empty()) inactive.insert(row.key());
    }
    return inactive;
}

std::shared_ptr<ComparisonSession> ComparisonSession::with_retry_unexpected_errors_alone(
    endpoint::DeployEndpoint source, endpoint::DeployEndpoint target, std::vector<ComponentDifference> rows,
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace, dependency::DependencyGraph graph,
    TargetOrgClass target_org_class, std::string api_version, bool allow_best_effort_on_production,
    bool retry_unexpected_errors_alone) {
    Parts parts;
    if (const auto* org = source.org()) {
        parts.source_username = org->org.username;
        parts.source_org_id = org->org.org_id;
    }
    if (const auto* org = target.org()) {
        parts.target_username = org->org.username;
        parts.target_org_id = org->org.org_id;
    }
    parts.source = std::move(source);
    parts.target = std::move(target);
    parts.rows = std::move(rows);
    parts.closer = [share = workspace]() -> std::expected<void, WorkflowFailure> {
        if (!share) return {};
        if (auto closed = share->close(); !closed) {
            return std::unexpected(WorkflowFailure::from_workspace_error(closed.error()));
        }
        return {};
    };
    parts.workspace = std::move(workspace);
    parts.graph = std::move(graph);
    parts.target_org_class = target_org_class;
    parts.allow_best_effort_on_production = allow_best_effort_on_production;
    parts.retry_unexpected_errors_alone = retry_unexpected_errors_alone;
    parts.api_version = std::move(api_version);
    return from_parts(std::move(parts));
}

std::shared_ptr<ComparisonSession> ComparisonSession::with_dependency_graph(
    endpoint::DeployEndpoint source, endpoint::DeployEndpoint target, std::vector<ComponentDifference> rows,
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace, dependency::DependencyGraph graph,
    TargetOrgClass target_org_class, std::string api_version, bool allow_best_effort_on_production) {
    return with_retry_unexpected_errors_alone(std::move(source), std::move(target), std::move(rows),
                                              std::move(workspace), std::move(graph), target_org_class,
                                              std::move(api_version), allow_best_effort_on_production, false);
}

std::shared_ptr<ComparisonSession> ComparisonSession::from_parts(Parts parts) {
    std::vector<ComponentDifference>& rows = parts.rows;

    // Steps 1 and 2: the tagged models and those without an active version.
    // The rows do not change until step 7, so one reading of the tags serves steps 1 and 5.
    const RowKeyMap tagged_pairs = tagged_model_pairs(rows);
    std::set<ComponentKey> tagged;
    for (const auto& [bundle, models] : tagged_pairs) tagged.insert(models.begin(), models.end());
    const std::set<ComponentKey> inactive = models_without_active_version(rows, tagged);

    // Step 3: field rows by the object part of their name.
    std::map<std::string, std::set<ComponentKey>, std::less<>> fields_by_object;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type == MetadataType::CustomField) {
            fields_by_object[row.key().to_field_key().object_api_name].insert(row.key());
        }
    }

    // Step 4: an added, deployable object definition selects its fields with it.
    RowKeyMap cascade_children;
    for (const ComponentDifference& row : rows) {
        // descriptor() refuses a record-data type: such rows never reach a session.
        if (!is_object_definition_format(row.key().metadata_type.descriptor())) continue;
        if (row.change != ChangeKind::Add || !row.deployable) continue;
        if (auto found = fields_by_object.find(row.key().name); found != fields_by_object.end()) {
            cascade_children[row.key()] = found->second;
        }
    }

    // Steps 5 and 6: a changed bundle selects the changed models it tags that have an active version.
    // Indexed only when some bundle tags a model, the index being of use to nothing else.
    std::map<ComponentKey, const ComponentDifference*> rows_by_key;
    if (!tagged_pairs.empty()) {
        for (const ComponentDifference& row : rows) rows_by_key[row.key()] = &row;
    }
    for (const auto& [bundle, models] : tagged_pairs) {
        auto bundle_row = rows_by_key.find(bundle);
        if (bundle_row == rows_by_key.end() || !is_deployable_change(*bundle_row->second)) continue;
        for (const ComponentKey& model : models) {
            auto model_row = rows_by_key.find(model);
            if (model_row == rows_by_key.end() || !is_deployable_change(*model_row->second)) continue;
            if (inactive.contains(model)) continue;
            cascade_children[bundle].insert(model);
        }
    }

    // Step 7: say why a model added as a dependency is not checked with its bundle.
    for (ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::ConstraintModel || !is_deployable_change(row)) continue;
        if (!inactive.contains(row.key()) || !row.required_by) continue;
        if (!row.required_by->ends_with(kNoActiveVersionNote)) row.required_by->append(kNoActiveVersionNote);
    }

    const std::uint64_t id = next_session_id.fetch_add(1);
    return std::make_shared<ComparisonSession>(Private{}, std::move(parts), std::move(cascade_children), id);
}

ComparisonSession::ComparisonSession(Private, Parts parts, RowKeyMap cascade_children, std::uint64_t id)
    : source_(std::move(parts.source)),
      target_(std::move(parts.target)),
      source_username_(std::move(parts.source_username)),
      target_username_(std::move(parts.target_username)),
      source_org_id_(std::move(parts.source_org_id)),
      target_org_id_(std::move(parts.target_org_id)),
      rows_(std::move(parts.rows)),
      dependency_edges_(std::move(parts.graph.edges)),
      unresolved_dependencies_(std::move(parts.graph.unresolved)),
      cascade_children_(std::move(cascade_children)),
      warnings_(std::move(parts.graph.warnings)),
      api_version_(std::move(parts.api_version)),
      workspace_(std::move(parts.workspace)),
      closer_(std::move(parts.closer)),
      id_(id),
      allow_best_effort_on_production_(parts.allow_best_effort_on_production),
      retry_unexpected_errors_alone_(parts.retry_unexpected_errors_alone),
      target_org_class_(parts.target_org_class) {}

bool ComparisonSession::is_closed() const {
    std::lock_guard lock(closed_mutex_);
    return closed_;
}

std::vector<ComponentDifference> ComparisonSession::ui_differences() const {
    std::vector<ComponentDifference> copies = rows_;
    std::lock_guard lock(edits_mutex_);
    for (ComponentDifference& row : copies) row.edited = edited_documents_.contains(row.key());
    return copies;
}

std::optional<std::string> ComparisonSession::refuses_deploy_mode(domain::DeployMode mode,
                                                                 const SelectedKeys& selected) const {
    // A git target only takes commits: a validation would still write one.
    if (mode == domain::DeployMode::ValidateOnly && target_.is_git()) return std::string(kValidateOnGitTarget);
    if (mode == domain::DeployMode::BestEffort) {
        if (target_org_class_ == TargetOrgClass::Production && !allow_best_effort_on_production_) {
            return "Best effort is not available against a production org. Use Validate or Deploy instead.";
        }
        return std::nullopt;
    }
    if (selected.empty()) return std::nullopt;
    for (const ComponentDifference& row : rows_) {
        if (row.deploy_scope == MetadataDeployScope::Records && row.deployable && row.change != ChangeKind::NoChange &&
            selected.contains(row.key())) {
            return "Records cannot roll back and deploy in Best Effort only.";
        }
    }
    return std::nullopt;
}

bool ComparisonSession::selection_requires_best_effort(const SelectedKeys* selected) const {
    for (const ComponentDifference& row : rows_) {
        if (row.deploy_scope == MetadataDeployScope::Records && row.deployable && row.change != ChangeKind::NoChange &&
            is_selected(selected, row.key())) {
            return true;
        }
    }
    return false;
}

bool ComparisonSession::selection_carries_permission_subjects(const SelectedKeys* selected) const {
    for (const ComponentDifference& row : rows_) {
        if (is_selected(selected, row.key()) && row.permission_subject().has_value()) return true;
    }
    return false;
}

std::expected<bool, SourceOverrideError> ComparisonSession::set_source_override(
    MetadataType type, std::string_view name, const std::optional<std::string>& body) const {
    // Held to the end: close waits for the edit, and an edit never reaches a removed workspace.
    std::lock_guard closed_lock(closed_mutex_);
    if (closed_) return std::unexpected(SourceOverrideError(SourceOverrideError::SessionClosed{}));

    const ComponentDifference* row = nullptr;
    for (const ComponentDifference& candidate : rows_) {
        if (candidate.key().metadata_type == type && candidate.key().name == name) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) return std::unexpected(SourceOverrideError(SourceOverrideError::NotInComparison{}));

    auto relative = row->editable_document_path();
    if (!relative) {
        switch (relative.error()) {
            case domain::DocumentEditRefusal::SharedDocument:
                return std::unexpected(SourceOverrideError(SourceOverrideError::NotOwnDocument{}));
            case domain::DocumentEditRefusal::NotDeployable:
                return std::unexpected(SourceOverrideError(SourceOverrideError::NotDeployable{}));
            case domain::DocumentEditRefusal::UnsafePath:
                return std::unexpected(SourceOverrideError(SourceOverrideError::UnsafePath{}));
        }
    }

    std::size_t limit = kSourceFileEditLimit;
    const std::string* current = nullptr;
    const auto& format = type.descriptor().content_format.value;
    if (std::holds_alternative<metadata_types::ContentFormat::DecomposedXml>(format)) {
        limit = kMetadataDocumentEditLimit;
        current = &row->source.document;
    } else if (std::holds_alternative<metadata_types::ContentFormat::SourceFile>(format)) {
        if (row->source.body) current = &row->source.body->text;
    }

    const std::string* new_text = nullptr;
    if (body) {
        if (text::has_more_chars_than(*body, limit)) {
            return std::unexpected(SourceOverrideError(SourceOverrideError::TooLong{limit}));
        }
        // A NUL cuts the document short for every tool that reads it after us.
        if (body->find('\0') != std::string::npos) {
            return std::unexpected(SourceOverrideError(SourceOverrideError::HoldsNul{}));
        }
        if (current == nullptr || *current != *body) new_text = &*body;
    }

    support::require(workspace_ != nullptr, "an edit needs the session's workspace");
    const std::filesystem::path relative_path(*relative);
    const std::filesystem::path file = workspace_->edits() / relative_path;

    std::lock_guard edits_lock(edits_mutex_);
    if (new_text != nullptr) {
        if (auto error = platform_fs::files::create_directories_below(workspace_->edits(), relative_path.parent_path());
            error) {
            return std::unexpected(SourceOverrideError(
                SourceOverrideError::Io{fmt::format("Could not create the edits directory: {}", error_kind_text(error))}));
        }
        // Written beside the old edit and renamed over it: a failed write keeps the previous edit whole.
        if (auto error = platform_fs::files::replace_durably(file, *new_text); error) {
            return std::unexpected(SourceOverrideError(
                SourceOverrideError::Io{fmt::format("Could not write the edited document: {}", error_kind_text(error))}));
        }
        edited_documents_[row->key()] = file;
        return true;
    }

    auto entry = edited_documents_.find(row->key());
    if (entry == edited_documents_.end()) return false;
    const std::filesystem::path recorded = entry->second;
    edited_documents_.erase(entry);
    std::error_code error;
    std::filesystem::remove(recorded, error);
    if (error && error != std::errc::no_such_file_or_directory) {
        return std::unexpected(SourceOverrideError(
            SourceOverrideError::Io{fmt::format("Could not remove the edited document: {}", error_kind_text(error))}));
    }
    return false;
}

std::optional<std::filesystem::path> ComparisonSession::source_override_path(const ComponentKey& key) const {
    std::lock_guard lock(edits_mutex_);
    auto found = edited_documents_.find(key);
    if (found == edited_documents_.end()) return std::nullopt;
    return found->second;
}

std::expected<void, SourceOverrideError> ComparisonSession::apply_source_overrides(
    std::vector<ComponentDifference>& rows) const {
    std::lock_guard lock(edits_mutex_);
    if (edited_documents_.empty()) return {};
    for (ComponentDifference& row : rows) {
        auto found = edited_documents_.find(row.key());
        if (found == edited_documents_.end()) continue;
        auto text = platform_fs::files::read_regular_file(found->second);
        if (!text) {
            return std::unexpected(SourceOverrideError(SourceOverrideError::Io{fmt::format(
                "Could not read the edited document of {}: {}", row.key().name, error_kind_text(text.error()))}));
        }
        const auto& format = row.key().metadata_type.descriptor().content_format.value;
        if (std::holds_alternative<metadata_types::ContentFormat::DecomposedXml>(format) &&
            !row.source.document.empty()) {
            row.source.document = std::move(*text);
        } else if (std::holds_alternative<metadata_types::ContentFormat::SourceFile>(format) && row.source.body) {
            row.source.body->text = std::move(*text);
        } else {
            return std::unexpected(SourceOverrideError(SourceOverrideError::NoContent{row.key().name}));
        }
        row.edited = true;
    }
    return {};
}

std::expected<void, WorkflowFailure> ComparisonSession::close() const {
    std::lock_guard lock(closed_mutex_);
    if (closed_) return {};
    if (closer_) {
        if (auto closed = closer_(); !closed) return closed;
    }
    closed_ = true;
    return {};
}

}  // namespace ambrel::app

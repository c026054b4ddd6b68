#include "app/context_definition_adaptation.hpp"

#include <array>
#include <set>

#include <fmt/format.h>

#include "app/compare_steps.hpp"
#include "app/permission_retries.hpp"
#include "app/row_notes.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"

namespace ambrel::app {
namespace {

namespace cdf = metadata::context_definition_filter;
using domain::ComponentDeploymentStatus;
using domain::ComponentKey;

constexpr std::string_view kContextDefinitionWireId = "ContextDefinition";
constexpr std::array<std::string_view, 5> kCustomSuffixes = {"__c", "__mdt", "__e", "__x", "__b"};

bool has_custom_suffix(std::string_view name) {
    for (const std::string_view suffix : kCustomSuffixes) {
        if (name.ends_with(suffix)) return true;
    }
    return false;
}

std::string cut(std::string text) {
    return std::string(text::first_chars(text, kDiagnosticCharacterLimit));
}

bool is_word_char(char32_t c) { return c == U'_' || text::is_alphanumeric(c); }
bool is_letter_class(char32_t c) { return c == U'_' || text::is_alphabetic(c); }

}  // namespace

cli::SchemaListing schema_known_to_package(const std::vector<domain::ComponentDifference>& rows) {
    cli::SchemaListing listing;
    for (const auto& row : rows) {
        if (row.change == domain::ChangeKind::NoChange || row.deploy_scope != domain::MetadataDeployScope::Full ||
            !row.deployable || row.key().metadata_type.is_data_record()) {
            continue;
        }
        const std::string_view type = row.key().metadata_type.wire_id();
        if (type == "CustomObject" || type == "CustomMetadataType" || type == "PlatformEvent") {
            listing.objects.insert(row.key().name);
        } else if (type == "CustomField") {
            if (const auto parts = metadata_types::split_once_dot(row.key().name)) {
                listing.fields.emplace(std::string(parts->first), std::string(parts->second));
            }
        }
    }
    return listing;
}

ContextDefinitionFiltering filter_context_definition_rows(std::vector<domain::ComponentDifference>& rows,
                                                          metadata_types::MetadataType context_definition_type,
                                                          const cli::SchemaListing& source,
                                                          const cli::SchemaListing& target,
                                                          const cdf::ExplicitOmissions& omissions,
                                                          const ports::CorePorts& sanitizer) {
    ContextDefinitionFiltering filtering;
    std::set<ComponentKey> failed_keys;
    for (auto& row : rows) {
        if (!takes_part(row, context_definition_type)) continue;
        auto filtered = cdf::filter_context_definition(row.source.document, source, target, omissions);
        if (!filtered) {
            filtering.failed.push_back(profile_failure(
                row, cut(sanitizer.diagnostic_sanitizer(
                         fmt::format(fmt::runtime(kContextParseMessage), filtered.error().message())))));
            failed_keys.insert(row.key());
            continue;
        }
        if (auto note = filtered->message()) filtering.notes.insert_or_assign(row.key(), std::move(*note));
        filtering.documents_before_filter.insert_or_assign(row.key(), row.source.document);
        row.source.document = std::move(filtered->document);
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

UseCaseResult<ContextDefinitionFiltering> filter_context_definitions(const QuillaryApplicationService& service,
                                                                     const ComparisonSession& session,
                                                                     std::vector<domain::ComponentDifference>& rows,
                                                                     const domain::CancellationToken& token) {
    ContextDefinitionFiltering filtering;
    const auto type = metadata_types::metadata_type_by_wire_id(kContextDefinitionWireId);
    if (!type || !session.source().is_org() || !session.target().is_org()) return filtering;
    std::set<std::string> objects;
    std::set<ComponentKey> failed_keys;
    std::set<ComponentKey> qualifying;
    for (const auto& row : rows) {
        if (!takes_part(row, *type)) continue;
        auto names = cdf::referenced_object_names(row.source.document);
        if (!names) {
            filtering.failed.push_back(profile_failure(
                row, service.sanitize_diagnostic(fmt::format(fmt::runtime(kContextParseMessage), names.error().message()))));
            failed_keys.insert(row.key());
            continue;
        }
        qualifying.insert(row.key());
        objects.merge(*names);
    }
    remove_rows(rows, failed_keys);
    if (qualifying.empty()) return filtering;
    if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());

    auto source = service.schema().object_field_listing(session.source_username(), objects, token);
    ports::PortResult<cli::SchemaListing> target = std::unexpected(WorkflowFailure{});
    if (source) target = service.schema().object_field_listing(session.target_username(), objects, token);
    const WorkflowFailure* failure = !source ? &source.error() : (!target ? &target.error() : nullptr);
    if (failure != nullptr) {
        if (failure->kind == FailureKind::Cancelled) return std::unexpected(*failure);
        fail_profile_rows(filtering.failed, rows, qualifying,
                          fmt::format(fmt::runtime(kOrgObjectFieldsUnlisted),
                                      service.sanitize_diagnostic(failure->first_message())));
        return filtering;
    }
    const cli::SchemaListing package = schema_known_to_package(rows);
    target->objects.insert(package.objects.begin(), package.objects.end());
    target->fields.insert(package.fields.begin(), package.fields.end());
    ContextDefinitionFiltering rows_filtering =
        filter_context_definition_rows(rows, *type, *source, *target, cdf::ExplicitOmissions{}, service.core());
    for (auto& result : rows_filtering.failed) filtering.failed.push_back(std::move(result));
    filtering.notes = std::move(rows_filtering.notes);
    filtering.documents_before_filter = std::move(rows_filtering.documents_before_filter);
    filtering.source_listing = std::move(*source);
    filtering.target_listing = std::move(*target);
    return filtering;
}

bool matches_as_word(std::string_view text, std::string_view word, bool not_member, bool not_qualified) {
    if (word.empty()) return false;
    for (std::size_t at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
        const std::size_t end = at + word.size();
        if (!text::is_char_boundary(text, at) || !text::is_char_boundary(text, end)) continue;
        if (at > 0 && is_word_char(text::decode_before(text, at).value)) continue;
        if (end < text.size() && is_word_char(text::decode_at(text, end).value)) continue;
        if (not_member && end + 1 < text.size() && text[end] == '.' && is_letter_class(text::decode_at(text, end + 1).value)) {
            continue;
        }
        if (not_qualified && at >= 2 && text[at - 1] == '.' && is_letter_class(text::decode_before(text, at - 1).value)) {
            continue;
        }
        return true;
    }
    return false;
}

void note_a_rejected_retry_of_a_succeeded_row(domain::ComponentDeploymentResult& result, std::string_view outcome,
                                              std::string_view detail) {
    append_row_note(result.message, fmt::format("{} {}: {}", kContextDefinitionRetryPhrase, outcome, detail));
}

void retry_rejected_context_definitions(const QuillaryApplicationService& service, const ComparisonSession& session,
                                        const std::vector<domain::ComponentDifference>& rows,
                                        deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                        const cli::SchemaListing& source, const cli::SchemaListing& target,
                                        const std::map<ComponentKey, std::string>& documents_before_filter,
                                        const std::map<ComponentKey, std::string>& messages_snapshot,
                                        const std::map<ComponentKey, std::string>& release_notes,
                                        RetriedRows& retried_rows, const domain::CancellationToken& token) {
    if (!retry_gate_open(session, summary, mode) || !session.source().is_org()) return;
    const auto type = metadata_types::metadata_type_by_wire_id(kContextDefinitionWireId);
    if (!type) return;

    std::map<ComponentKey, std::string> current;
    for (const auto& row : rows) {
        if (row.key().metadata_type == *type && deploys_metadata(row, false)) current.insert_or_assign(row.key(), row.source.document);
    }
    cdf::ExplicitOmissions did_not_deploy;
    for (const auto& result : summary.component_results) {
        if (result.operation != domain::ChangeKind::Add || result.status == ComponentDeploymentStatus::Succeeded) continue;
        const std::string_view type_id = result.key.metadata_type.is_data_record() ? "" : result.key.metadata_type.wire_id();
        if (type_id == "CustomField") {
            if (const auto parts = metadata_types::split_once_dot(result.key.name)) {
                did_not_deploy.fields.emplace(std::string(parts->first), std::string(parts->second));
            }
        } else if (type_id == "CustomObject" || type_id == "CustomMetadataType" || type_id == "PlatformEvent") {
            did_not_deploy.objects.insert(result.key.name);
        }
    }
    std::map<ComponentKey, cdf::ExplicitOmissions> omissions;
    std::map<ComponentKey, std::string> messages = messages_snapshot;

    for (std::size_t pass = 1; pass <= kContextRetryPasses; ++pass) {
        std::map<ComponentKey, std::string> pass_notes;
        std::vector<domain::ComponentDifference> retry_rows;
        for (const auto& row : rows) {
            const auto document = current.find(row.key());
            if (document == current.end()) continue;
            auto references = cdf::referenced_components(document->second);
            if (!references) continue;
            cdf::ExplicitOmissions& row_omissions = omissions[row.key()];
            const std::size_t fields_before = row_omissions.fields.size();
            const std::size_t objects_before = row_omissions.objects.size();
            for (const auto& [object, field] : references->fields) {
                if (did_not_deploy.knows_field(object, field)) row_omissions.fields.emplace(object, field);
            }
            for (const auto& object : references->objects) {
                if (did_not_deploy.knows_object(object)) row_omissions.objects.insert(object);
            }
            const auto message = messages.find(row.key());
            if (first_result(summary, row.key(), ComponentDeploymentStatus::Failed) != nullptr && message != messages.end()) {
                const std::string& text = message->second;
                for (const auto& [object, field] : references->fields) {
                    const bool named = matches_as_word(text, fmt::format("{}.{}", object, field), false, false) ||
                                       (has_custom_suffix(field) && matches_as_word(text, field, false, true));
                    if (named) row_omissions.fields.emplace(object, field);
                }
                for (const auto& object : references->objects) {
                    if (has_custom_suffix(object) && matches_as_word(text, object, true, true)) {
                        row_omissions.objects.insert(object);
                    }
                }
            }
            if (row_omissions.fields.size() == fields_before && row_omissions.objects.size() == objects_before) continue;
            const auto previous = documents_before_filter.find(row.key());
            if (previous == documents_before_filter.end()) continue;
            auto filtered = cdf::filter_context_definition(previous->second, source, target, row_omissions);
            if (!filtered) continue;
            auto note = filtered->message();
            pass_notes.insert_or_assign(row.key(), note ? std::move(*note) : std::string(kNothingMoreLeftOut));
            domain::ComponentDifference retry_row = row;
            retry_row.source.document = filtered->document;
            retry_rows.push_back(std::move(retry_row));
            document->second = std::move(filtered->document);
        }
        if (retry_rows.empty()) return;

        auto package = send_retry_package(service, session, retry_rows, token);
        if (!package || !package->package_completed) {
            std::string detail;
            if (!package) {
                detail = service.sanitize_diagnostic(package.error().first_message());
            } else if (!package->component_results.empty()) {
                detail = service.sanitize_diagnostic(package->component_results.front().message);
            }
            for (const auto& retry_row : retry_rows) {
                auto* result = first_result(summary, retry_row.key(), std::nullopt);
                if (result != nullptr && result->status == ComponentDeploymentStatus::Succeeded) {
                    note_a_rejected_retry_of_a_succeeded_row(*result, kRetryUnreachable, detail);
                }
            }
            return;
        }
        const auto results = results_by_key(package->component_results);
        for (const auto& retry_row : retry_rows) {
            const ComponentKey& key = retry_row.key();
            const auto found = results.find(key);
            if (found == results.end()) continue;
            const domain::ComponentDeploymentResult& retried = *found->second;
            const std::string cleaned = service.sanitize_diagnostic(retried.message);
            messages.insert_or_assign(key, cleaned);
            auto* result = first_result(summary, key, std::nullopt);
            if (result == nullptr) continue;
            const auto pass_note = pass_notes.find(key);
            if (result->status != ComponentDeploymentStatus::Succeeded ||
                retried.status == ComponentDeploymentStatus::Succeeded) {
                std::string notes;
                if (const auto release = release_notes.find(key); release != release_notes.end()) {
                    append_row_note(notes, release->second);
                }
                if (pass_note != pass_notes.end()) {
                    append_row_note(notes, fmt::format("{}: {}", kContextDefinitionRetryPhrase, pass_note->second));
                }
                std::string message = cleaned;
                if (!notes.empty()) append_row_note(message, notes);
                *result = domain::ComponentDeploymentResult{key, std::move(message), retried.operation, retried.status};
                retried_rows.record(key, retry_row.source.document, std::move(notes));
            } else {
                if (pass_note != pass_notes.end()) append_row_note(result->message, pass_note->second);
                note_a_rejected_retry_of_a_succeeded_row(*result, kRetryWasRejected, cleaned);
            }
        }
    }
}

}  // namespace ambrel::app

#include "deployment/fls_synchronizer/synchronizer.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include <algorithm>
#include <utility>

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/permission_reader/permission_reader.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::deployment::fls_synchronizer {
namespace {

using domain::FlsContainer;
using domain::FlsContainerKind;
using domain::FlsMode;
using domain::FlsResult;
using domain::FlsResultStatus;
using domain::PermissionGrant;
using domain::PermissionSubject;
using fls_orchestrator::FlsComponentDeployStatus;
using metadata::permission_merger::PermissionMergeOutcome;
using metadata::permission_models::NotTransferred;
using single_package::PendingGrant;

constexpr std::string_view kPresetIdTemplate = "git:{}:{}";
constexpr std::string_view kNamespaceSeparator = "__";
constexpr std::string_view kDescriptionElement = "description";
constexpr std::string_view kLabelElement = "label";
constexpr std::string_view kMissingNoAccessDesired = "Unchanged permission subjects must carry a desired grant";
constexpr std::string_view kMissingContainer = "Prepared permission metadata must name its container";
constexpr std::string_view kMissingPending = "Prepared permission metadata must carry its pending grants";

const re2::RE2& api_name_pattern() {
    static const re2::RE2 pattern{re2::StringPiece(kApiNamePattern.data(), kApiNamePattern.size())};
    return pattern;
}

bool is_api_name(std::string_view name) {
    return re2::RE2::FullMatch(re2::StringPiece(name.data(), name.size()), api_name_pattern());
}

bool is_subject_name_part(std::string_view part) {
    return is_api_name(part) || metadata::NamespacePolicy::is_standard_tab_name(part);
}

FlsResultStatus status_of(FlsComponentDeployStatus status) {
    switch (status) {
    case FlsComponentDeployStatus::Deployed:
        return FlsResultStatus::Updated;
    case FlsComponentDeployStatus::Failed:
        return FlsResultStatus::Failed;
    default:
        return FlsResultStatus::NotAttempted;
    }
}

std::expected<void, metadata::workspace::WorkspaceError> close_retrieved(const std::optional<RetrievedPermissionMetadata>& retrieved) {
    if (!retrieved || !retrieved->workspace) return {};
    return retrieved->workspace->close();
}

// The notes of one merge outcome and its pending grants.
std::vector<PendingGrant> notes_and_pending(const PermissionMergeOutcome& outcome, const FlsContainer& container,
                                            std::vector<FlsResult>& rows) {
    for (const auto& subject : outcome.required_fields) {
        rows.push_back(result(container, subject, metadata::permission_models::no_access_grant(subject),
                              FlsResultStatus::Skipped, std::string(kRequiredFieldSkipped)));
    }
    for (const auto& [subject, reason] : outcome.not_transferred) {
        std::string message;
        if (const auto* value = std::get_if<NotTransferred::UnrecognizedValue>(&reason.value)) {
            message = fmt::format(fmt::runtime(kUnrecognizedValue), value->value);
        } else {
            message = std::string(kDefaultRecordTypeKept);
        }
        rows.push_back(result(container, subject, metadata::permission_models::no_access_grant(subject),
                              FlsResultStatus::Skipped, std::move(message)));
    }
    for (const auto& subject : outcome.unchanged) {
        const auto desired = outcome.desired.find(subject);
        support::require(desired != outcome.desired.end(), kMissingNoAccessDesired);
        rows.push_back(result(container, subject, desired->second, FlsResultStatus::Skipped, std::string(kNoChangeNeeded)));
    }
    std::vector<PendingGrant> pending;
    for (const auto& [subject, grant] : outcome.desired) {
        if (!outcome.unchanged.contains(subject)) pending.push_back({subject, grant});
    }
    return pending;
}

}  // namespace

FlsResult result(const FlsContainer& container, const PermissionSubject& subject, PermissionGrant grant,
                 FlsResultStatus status, std::string message) {
    return FlsResult{container.api_name, container.label, subject, std::move(message), container.kind, status,
                     std::move(grant)};
}

void add_for_every_subject(std::vector<FlsResult>& rows, const FlsContainer& container,
                           const std::vector<PermissionSubject>& subjects, std::string_view message) {
    for (const auto& subject : subjects) {
        rows.push_back(result(container, subject, metadata::permission_models::no_access_grant(subject),
                              FlsResultStatus::Skipped, std::string(message)));
    }
}

std::expected<PermissionMetadataComponent, FlsSyncError> component_from_xml(const PermissionComponentKey& key,
                                                                            std::string xml) {
    auto parsed = metadata::permission_reader::parse_permission_metadata(xml, key);
    if (!parsed) return std::unexpected(FlsSyncError::message(std::move(parsed.error())));
    return PermissionMetadataComponent{key, {}, std::move(xml), std::move(*parsed)};
}

std::string xml_escape(std::string_view value) { return xml::escape_five_entities(value); }

std::string created_permission_set_document(std::string_view source_document, std::string_view api_name) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PermissionSet xmlns=\"";
    out.append(metadata::kMetadataNamespaceUri).append("\">\n");
    if (const auto description = extract_top_level_text(source_document, kDescriptionElement)) {
        out.append("    <description>").append(xml_escape(*description)).append("</description>\n");
    }
    const auto label = extract_top_level_text(source_document, kLabelElement);
    out.append("    <label>").append(xml_escape(label && !label->empty() ? *label : api_name)).append("</label>\n");
    if (const auto license = extract_top_level_text(source_document, kLicenseElement); license && !license->empty()) {
        out.append("    <license>").append(xml_escape(*license)).append("</license>\n");
    }
    out.append("</PermissionSet>\n");
    return out;
}

struct FlsSynchronizer::Run {
    const domain::SelectedPermissions& selected;
    FlsMode mode;
    const std::optional<ContainerSelection>& selection;
    const domain::CancellationToken& token;
    std::vector<PermissionSubject> subjects;
    std::vector<FlsResult> rows;
    TargetLicenses target_licenses;
};

struct FlsSynchronizer::Classified {
    bool ended = false;
    std::vector<MatchedContainer> matched;
    std::vector<FlsContainer> created;
    std::optional<RetrievedPermissionMetadata> retrieved;
};

struct FlsSynchronizer::Merged {
    std::vector<PreparedPermissionComponent> prepared;
    std::map<PermissionComponentKey, std::vector<PendingGrant>> pending;
    std::map<PermissionComponentKey, FlsContainer> containers;
};

FlsSynchronizer::FlsSynchronizer(std::string source_alias, std::string target_alias,
                                 const fls_catalog::FlsContainerCatalog& catalog,
                                 const metadata::permission_retrieve::PermissionMetadataRetrieveService& retrieve_service,
                                 permission_batch::PermissionComponentBatchDeployer& deployer,
                                 const ContainerLicenseChannel* license_channel)
    : FlsSynchronizer(std::move(source_alias), std::move(target_alias), catalog,
                      std::make_shared<ServicePermissionRetriever>(retrieve_service), deployer, license_channel) {}

FlsSynchronizer::FlsSynchronizer(std::string source_alias, std::string target_alias,
                                 const fls_catalog::FlsContainerCatalog& catalog,
                                 std::shared_ptr<const PermissionRetriever> retriever,
                                 permission_batch::PermissionComponentBatchDeployer& deployer,
                                 const ContainerLicenseChannel* license_channel)
    : source_alias_(std::move(source_alias)),
      target_alias_(std::move(target_alias)),
      catalog_(&catalog),
      retriever_(std::move(retriever)),
      deployer_(&deployer),
      license_channel_(license_channel) {}

FlsSynchronizer FlsSynchronizer::with_source_documents(PresetDocuments documents) && {
    preset_ = std::move(documents);
    return std::move(*this);
}

std::expected<void, FlsSyncError> FlsSynchronizer::validate(const domain::SelectedPermissions& selected) const {
    if (!preset_) {
        support::require(!text::is_blank(source_alias_), kBlankSourceAlias);
        support::require(!text::is_blank(target_alias_), kBlankTargetAlias);
        support::require(text::to_lower(text::trim(source_alias_)) != text::to_lower(text::trim(target_alias_)), kEqualAliases);
    } else {
        support::require(!text::is_blank(target_alias_), kBlankTargetAlias);
    }
    for (const auto& [key, definition] : selected.fields) support::require(key == definition.key, kFieldKeyMismatch);
    // Names come from compared documents, so a bad one is refused as a value.
    for (const auto& [key, definition] : selected.fields) {
        if (!is_api_name(key.object_api_name) || !is_api_name(key.field_api_name)) {
            return std::unexpected(FlsSyncError::message(std::string(kInvalidFieldNames)));
        }
    }
    for (const auto& subject : selected.subjects) {
        const std::string name = subject.api_name();
        std::size_t start = 0;
        for (;;) {
            const auto dot = name.find('.', start);
            const std::string_view part = std::string_view(name).substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            if (!is_subject_name_part(part)) return std::unexpected(FlsSyncError::message(std::string(kInvalidSubjectNames)));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
    }
    return {};
}

std::vector<FlsContainer> FlsSynchronizer::preset_source_containers() const {
    std::vector<FlsContainer> containers;
    for (const auto& [key, text] : *preset_) {
        FlsContainer container;
        container.id = fmt::format(fmt::runtime(kPresetIdTemplate), domain::name(key.kind()), key.full_name());
        container.api_name = key.full_name();
        container.label = key.full_name();
        if (const auto separator = key.full_name().find(kNamespaceSeparator); separator != std::string::npos) {
            container.namespace_prefix = key.full_name().substr(0, separator);
        }
        container.kind = key.kind();
        container.retrievable = true;
        containers.push_back(std::move(container));
    }
    return containers;
}

std::expected<FlsSynchronizer::Classified, FlsSyncError> FlsSynchronizer::classify_and_retrieve(Run& run) const {
    Classified out;
    if (run.selected.empty()) {
        out.ended = true;
        return out;
    }
    const auto cancelled = [&] { return run.token.is_cancelled(); };
    if (cancelled()) return std::unexpected(FlsSyncError::cancelled());
    std::vector<FlsContainer> source;
    if (preset_) {
        source = preset_source_containers();
    } else {
        auto listed = catalog_->containers(source_alias_, run.token);
        if (!listed) return std::unexpected(FlsSyncError(FlsSyncError::Catalog{std::move(listed.error())}));
        source = std::move(*listed);
    }
    if (cancelled()) return std::unexpected(FlsSyncError::cancelled());
    auto target = catalog_->containers(target_alias_, run.token);
    if (!target) return std::unexpected(FlsSyncError(FlsSyncError::Catalog{std::move(target.error())}));
    if (cancelled()) return std::unexpected(FlsSyncError::cancelled());
    if (auto valid = validate_containers(source); !valid) return std::unexpected(valid.error());
    if (auto valid = validate_containers(*target); !valid) return std::unexpected(valid.error());

    run.subjects = run.selected.all_subjects();
    std::sort(run.subjects.begin(), run.subjects.end());
    ClassifiedContainers classified = classify_containers(source, *target);

    for (const auto& entry : classified.ineligible) {
        if (cancelled()) return std::unexpected(FlsSyncError::cancelled());
        FlsResultStatus status = entry.status;
        if (status == FlsResultStatus::Failed && run.selection &&
            !run.selection->contains({entry.container.kind, entry.container.api_name})) {
            status = FlsResultStatus::Skipped;
        }
        for (const auto& subject : run.subjects) {
            run.rows.push_back(
                result(entry.container, subject, metadata::permission_models::no_access_grant(subject), status, entry.reason));
        }
    }

    if (run.selection) {
        for (auto& matched : classified.matched) {
            if (run.selection->contains({matched.container.kind, matched.container.api_name})) {
                out.matched.push_back(std::move(matched));
            } else {
                add_for_every_subject(run.rows, matched.container, run.subjects, kNotSelected);
            }
        }
        std::vector<FlsContainer> unselected;
        for (auto& created : classified.created) {
            if (run.selection->contains({created.kind, created.api_name})) {
                out.created.push_back(std::move(created));
            } else {
                unselected.push_back(std::move(created));
            }
        }
        if (!unselected.empty()) {
            auto licenses = created_container_licenses(unselected, preset_ ? &*preset_ : nullptr, license_channel_, run.token);
            if (!licenses) return std::unexpected(licenses.error());
            for (const auto& container : unselected) {
                std::string message(kNotSelected);
                const auto found = licenses->find({container.kind, container.api_name});
                if (found != licenses->end() && license_channel_ != nullptr) {
                    auto verdict = license_verdict(run.target_licenses, license_channel_, found->second, run.token);
                    if (!verdict) return std::unexpected(verdict.error());
                    if (*verdict) message = std::move(**verdict);
                }
                add_for_every_subject(run.rows, container, run.subjects, message);
            }
        }
    } else {
        out.matched = std::move(classified.matched);
        out.created = std::move(classified.created);
    }

    if (out.matched.empty() && out.created.empty()) {
        out.ended = true;
        return out;
    }

    metadata::permission_retrieve::PermissionKeys source_keys;
    metadata::permission_retrieve::PermissionKeys target_keys;
    for (const auto& matched : out.matched) {
        source_keys.insert(matched.source_key);
        target_keys.insert(matched.target_key);
    }
    for (const auto& created : out.created) source_keys.insert(PermissionComponentKey::create(created.kind, created.api_name));
    if (preset_) source_keys.clear();
    if (!source_keys.empty() || !target_keys.empty()) {
        const std::set<PermissionSubject> subjects(run.subjects.begin(), run.subjects.end());
        auto retrieved = retriever_->retrieve(source_alias_, target_alias_, source_keys, target_keys, subjects, run.token);
        if (!retrieved) return std::unexpected(FlsSyncError(FlsSyncError::Retrieve{std::move(retrieved.error())}));
        out.retrieved = std::move(*retrieved);
    }
    return out;
}

std::expected<PermissionMetadataComponent, FlsSyncError> FlsSynchronizer::source_component(
    const PermissionComponentKey& key, const std::optional<RetrievedPermissionMetadata>& retrieved) const {
    if (preset_) {
        const auto found = preset_->find(key);
        if (found == preset_->end()) return std::unexpected(FlsSyncError::message(std::string(kPresetMissing)));
        return component_from_xml(key, found->second);
    }
    if (!retrieved) return std::unexpected(FlsSyncError::message(std::string(kRetrievedSourceMissing)));
    const auto found = retrieved->source_files.find(key);
    if (found == retrieved->source_files.end()) {
        return std::unexpected(FlsSyncError::message(std::string(kRetrievedSourceMissing)));
    }
    auto read = metadata::permission_reader::PermissionMetadataReader{}.read(found->second, key);
    if (!read) return std::unexpected(FlsSyncError::message(std::move(read.error())));
    return std::move(*read);
}

std::expected<FlsSynchronizer::Merged, FlsSyncError> FlsSynchronizer::merge_prepare(Run& run, Classified& classified) const {
    Merged out;
    for (const auto& matched : classified.matched) out.containers.insert_or_assign(matched.source_key, matched.container);
    for (const auto& created : classified.created) {
        out.containers.insert_or_assign(PermissionComponentKey::create(created.kind, created.api_name), created);
    }

    std::stable_sort(classified.matched.begin(), classified.matched.end(),
                     [](const auto& a, const auto& b) { return matched_order(a, b) < 0; });
    for (const auto& matched : classified.matched) {
        if (run.token.is_cancelled()) return std::unexpected(FlsSyncError::cancelled());
        auto source = source_component(matched.source_key, classified.retrieved);
        if (!source) return std::unexpected(source.error());
        const auto* target_files = classified.retrieved ? &classified.retrieved->target_files : nullptr;
        const auto target_path = target_files ? target_files->find(matched.target_key) : decltype(target_files->end()){};
        if (target_files == nullptr || target_path == target_files->end()) {
            return std::unexpected(FlsSyncError::message(std::string(kRetrievedTargetMissing)));
        }
        auto target = metadata::permission_reader::PermissionMetadataReader{}.read(target_path->second, matched.target_key);
        if (!target) return std::unexpected(FlsSyncError::message(std::move(target.error())));
        auto merged = merger_.merge(*source, *target, run.selected, run.mode);
        if (!merged) return std::unexpected(FlsSyncError::message(merged.error().message()));
        auto pending = notes_and_pending(*merged, matched.container, run.rows);
        if (pending.empty()) continue;
        if (!merged->component) return std::unexpected(FlsSyncError::message(std::string(kChangedWithoutDocument)));
        out.prepared.push_back(std::move(*merged->component));
        out.pending.insert_or_assign(matched.source_key, std::move(pending));
    }

    std::stable_sort(classified.created.begin(), classified.created.end(),
                     [](const auto& a, const auto& b) { return container_order(a, b) < 0; });
    for (const auto& created : classified.created) {
        if (run.token.is_cancelled()) return std::unexpected(FlsSyncError::cancelled());
        const auto key = PermissionComponentKey::create(created.kind, created.api_name);
        auto source = source_component(key, classified.retrieved);
        if (!source) return std::unexpected(source.error());
        if (const auto license = source_document_license(source->xml); license && license_channel_ != nullptr) {
            auto verdict = license_verdict(run.target_licenses, license_channel_, *license, run.token);
            if (!verdict) return std::unexpected(verdict.error());
            if (*verdict) {
                add_for_every_subject(run.rows, created, run.subjects, **verdict);
                continue;
            }
        }
        const PermissionMetadataComponent target{key, {}, created_permission_set_document(source->xml, created.api_name), {}};
        // A new permission set carries exactly the source's grants, whatever the run's mode.
        auto merged = merger_.merge(*source, target, run.selected, FlsMode::All);
        if (!merged) return std::unexpected(FlsSyncError::message(merged.error().message()));
        auto pending = notes_and_pending(*merged, created, run.rows);
        if (pending.empty()) continue;
        if (!merged->component) return std::unexpected(FlsSyncError::message(std::string(kCreatedWithoutDocument)));
        out.prepared.push_back(std::move(*merged->component));
        out.pending.insert_or_assign(key, std::move(pending));
    }
    return out;
}

std::expected<std::vector<FlsResult>, FlsSyncFailure> FlsSynchronizer::sync(const domain::SelectedPermissions& selected,
                                                                            FlsMode mode,
                                                                            const std::optional<ContainerSelection>& selection,
                                                                            const domain::CancellationToken& token) const {
    support::require(mode != FlsMode::None, kModeRequired);
    if (auto valid = validate(selected); !valid) return std::unexpected(FlsSyncFailure{valid.error(), std::nullopt});
    Run run{selected, mode, selection, token, {}, {}, {}};
    auto classified = classify_and_retrieve(run);
    if (!classified) return std::unexpected(FlsSyncFailure{classified.error(), std::nullopt});
    if (classified->ended) {
        sort_results(run.rows);
        return std::move(run.rows);
    }
    // From here on the retrieve workspace exists and is closed on every road out.
    const auto fail = [&](FlsSyncError error) -> std::expected<std::vector<FlsResult>, FlsSyncFailure> {
        auto closed = close_retrieved(classified->retrieved);
        return std::unexpected(FlsSyncFailure{std::move(error), closed ? std::nullopt : std::optional(closed.error())});
    };
    auto merged = merge_prepare(run, *classified);
    if (!merged) return fail(merged.error());
    if (token.is_cancelled()) return fail(FlsSyncError::cancelled());

    const fls_orchestrator::FlsDeploymentOrchestrator orchestrator(*deployer_);
    const auto states = orchestrator.deploy(merged->prepared, target_alias_, token);
    // The deploy has changed the target by now, so its outcome is reported even if the operation was
    // cancelled meanwhile.
    for (const auto& component : merged->prepared) {
        const auto state = states.find(component.key);
        if (state == states.end()) return fail(FlsSyncError::message(std::string(kNoDeployState)));
        const auto container = merged->containers.find(component.key);
        support::require(container != merged->containers.end(), kMissingContainer);
        const auto pending = merged->pending.find(component.key);
        support::require(pending != merged->pending.end(), kMissingPending);
        for (const auto& grant : pending->second) {
            run.rows.push_back(result(container->second, grant.subject, grant.grant, status_of(state->second.status),
                                      state->second.message));
        }
    }
    // The rows tell what the deploy changed; a folder left behind must not turn them into a failure.
    if (auto closed = close_retrieved(classified->retrieved); !closed) {
        support::report_diagnostic(fmt::format(fmt::runtime(kRetrieveCleanupFailed), closed.error().message()));
    }
    sort_results(run.rows);
    return std::move(run.rows);
}

std::expected<FlsPreparation, FlsSyncFailure> FlsSynchronizer::prepare(const domain::SelectedPermissions& selected,
                                                                       FlsMode mode,
                                                                       const std::optional<ContainerSelection>& selection,
                                                                       const domain::CancellationToken& token) const {
    support::require(mode != FlsMode::None, kModeRequired);
    if (auto valid = validate(selected); !valid) return std::unexpected(FlsSyncFailure{valid.error(), std::nullopt});
    Run run{selected, mode, selection, token, {}, {}, {}};
    auto classified = classify_and_retrieve(run);
    if (!classified) return std::unexpected(FlsSyncFailure{classified.error(), std::nullopt});
    if (classified->ended) return FlsPreparation{{}, std::move(run.rows), std::nullopt};
    auto merged = merge_prepare(run, *classified);
    if (!merged) {
        auto closed = close_retrieved(classified->retrieved);
        return std::unexpected(FlsSyncFailure{merged.error(), closed ? std::nullopt : std::optional(closed.error())});
    }
    FlsPreparation preparation;
    for (auto& component : merged->prepared) {
        single_package::PreparedFlsContainer container;
        container.full_name = component.key.full_name();
        container.kind = component.key.kind();
        const auto found = merged->containers.find(component.key);
        container.label = found != merged->containers.end() ? found->second.label : component.key.full_name();
        container.xml = std::move(component.xml);
        if (const auto pending = merged->pending.find(component.key); pending != merged->pending.end()) {
            container.pending_grants = pending->second;
        }
        preparation.containers.push_back(std::move(container));
    }
    preparation.results = std::move(run.rows);
    preparation.retrieved = std::move(classified->retrieved);
    return preparation;
}

std::expected<DocumentMap, FlsSyncError> merge_container_documents(const DocumentMap& source, const DocumentMap& target,
                                                                  const domain::SelectedPermissions& selected,
                                                                  FlsMode mode) {
    DocumentMap merged;
    const metadata::permission_merger::PermissionMetadataMerger merger;
    for (const auto& [ref, source_text] : source) {
        const auto& [kind, name] = ref;
        if (name.find(kNamespaceSeparator) != std::string::npos) continue;
        // Names come from repository file names; a blank one is refused as a value.
        if (text::is_blank(name)) {
            return std::unexpected(FlsSyncError::message(std::string(metadata::permission_models::kBlankFullNameMessage)));
        }
        const auto key = PermissionComponentKey::create(kind, name);
        auto source_component = component_from_xml(key, source_text);
        if (!source_component) return std::unexpected(source_component.error());
        std::optional<PermissionMetadataComponent> target_component;
        if (const auto found = target.find(ref); found != target.end()) {
            auto read = component_from_xml(key, found->second);
            if (!read) return std::unexpected(read.error());
            target_component = std::move(*read);
        } else if (kind == FlsContainerKind::Profile) {
            continue;
        } else {
            target_component = PermissionMetadataComponent{key, {}, created_permission_set_document(source_text, name), {}};
        }
        auto outcome = merger.merge(*source_component, *target_component, selected, mode);
        if (!outcome) return std::unexpected(FlsSyncError::message(outcome.error().message()));
        if (outcome->component) merged.insert_or_assign(ref, std::move(outcome->component->xml));
    }
    return merged;
}

}  // namespace ambrel::deployment::fls_synchronizer

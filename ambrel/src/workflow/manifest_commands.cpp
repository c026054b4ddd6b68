// Package manifests on the selection screen: import (checked against the source's listings), export
// and clearing the choice.

#include <utility>

#include <fmt/format.h>

#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/manifest_reader/manifest_reader.hpp"
#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

using metadata_types::MetadataType;

// Every "{0}" of the template replaced by the text.
std::string fill_all(std::string_view pattern, std::string_view text) {
    constexpr std::string_view kPlaceholder = "{0}";
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = pattern.find(kPlaceholder); at != std::string_view::npos;
         at = pattern.find(kPlaceholder, from)) {
        out.append(pattern.substr(from, at - from));
        out.append(text);
        from = at + kPlaceholder.size();
    }
    out.append(pattern.substr(from));
    return out;
}

std::uint64_t member_count(const ManifestSelection& manifest) {
    std::uint64_t count = 0;
    for (const auto& [type, names] : manifest) count += names.size();
    return count;
}

}  // namespace

std::expected<ManifestResolution, app::WorkflowFailure> Inner::resolve_manifest_against_source(
    ManifestSelection manifest, const std::set<MetadataType>& wildcard_types, std::vector<std::string>& notes,
    const ListingCache& cache, const endpoint::DeployEndpoint& source, const domain::CancellationToken& token) const {
    // Record-data types have no member listing to check against: they never reach the selection.
    std::set<MetadataType> types;
    for (const auto& entry : manifest) {
        if (!entry.first.is_data_record()) types.insert(entry.first);
    }
    for (const MetadataType type : wildcard_types) {
        if (!type.is_data_record()) types.insert(type);
    }
    ManifestResolution resolution;
    for (const MetadataType type : types) {
        const auto& strategy = type.descriptor().listing_strategy;
        if (cache.contains(strategy) || resolution.fetched.contains(strategy)) continue;
        auto listed = parts_.use_cases->list_source_objects(source, type, token);
        if (!listed) return std::unexpected(std::move(listed.error()));
        resolution.fetched.emplace(strategy, std::move(*listed));
    }
    for (const MetadataType type : types) {
        const auto& strategy = type.descriptor().listing_strategy;
        const auto fetched = resolution.fetched.find(strategy);
        const std::vector<cli::catalogs::SalesforceObject>* objects = nullptr;
        if (fetched != resolution.fetched.end()) {
            objects = &fetched->second;
        } else if (const auto cached = cache.find(strategy); cached != cache.end()) {
            objects = &cached->second;
        }
        std::set<std::string> available;
        if (objects != nullptr) {
            for (const auto& object : *objects) {
                if (type.object_listing_admits(object.api_name)) available.insert(object.api_name);
            }
        }
        std::set<std::string> result;
        if (wildcard_types.contains(type)) result = available;
        if (const auto named = manifest.find(type); named != manifest.end()) {
            for (const auto& name : named->second) {
                if (available.contains(name)) {
                    result.insert(name);
                } else {
                    notes.push_back(fmt::format(fmt::runtime(kMemberNotFound), name, type.descriptor().plural_label));
                }
            }
        }
        if (!result.empty()) resolution.manifest.emplace(type, std::move(result));
    }
    metadata_types::apply_derived_members(resolution.manifest, MetadataType::CustomField);
    resolution.notes = notes;
    return resolution;
}

void Inner::fail_manifest_import(std::uint64_t id, std::string message) {
    auto refused = parts_.ui->execute([self = shared_from_this(), id, message = std::move(message)]() mutable {
        std::optional<Publication> publication;
        {
            auto guard = self->lock();
            State& state = self->state_;
            if (state.closed || state.operation_id != id) return;
            self->parts_.log->failure(message);
            state.listing_incomplete = true;
            self->end_operation_locked(state);
            publication = selecting_publication(state, std::move(message));
        }
        self->deliver(std::move(*publication));
    });
    if (refused) record_ui_dispatcher_failure(id);
}

std::optional<std::uint64_t> WorkflowController::import_manifest(const std::filesystem::path& path) const {
    std::optional<endpoint::DeployEndpoint> source;
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> target;
    {
        auto guard = inner_->lock();
        const State& state = inner_->state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) return std::nullopt;
        source = state.source;
        orgs = state.orgs;
        target = state.target;
    }
    if (!source) {
        inner_->selection_error(std::string(kSelectSource));
        return std::nullopt;
    }
    auto started = inner_->begin_operation_if(OperationKind::ImportManifest, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    inner_->transition(LoadingComponentsState{std::move(orgs), *source, std::move(target)});
    std::shared_ptr<Inner> self = inner_;
    self->schedule_after_cleanup(std::move(*started), [self, id, path, source = std::move(*source)]() {
        self->execute_background(id, [self, id, path, source]() {
            auto token = self->require_token(id);
            const auto& use_cases = *self->parts().use_cases;
            auto parsed = metadata::manifest_reader::read_package_manifest(path);
            if (!parsed) {
                self->fail_manifest_import(id, use_cases.sanitize_diagnostic(parsed.error().message()));
                return;
            }
            auto mapping = metadata::manifest_reader::map_manifest_sections(*parsed);
            ListingCache cache;
            {
                auto guard = self->lock();
                cache = self->state(guard).listing_cache;
            }
            auto resolved = self->resolve_manifest_against_source(std::move(mapping.selection), mapping.wildcard_types,
                                                                  mapping.notes, cache, source, *token);
            if (!resolved) {
                self->fail_manifest_import(id, self->failure_message(resolved.error()));
                return;
            }
            const std::uint64_t imported = member_count(resolved->manifest);
            self->dispatch_completion(id, [label = source.label(), imported,
                                           resolution = std::move(*resolved)](State& state) mutable {
                // A source changed meanwhile: the import is not its own, so only the screen returns.
                if (!state.source || state.source->label() != label) {
                    return selecting_state(state, std::nullopt, std::nullopt, nullptr);
                }
                const bool fetched_any = !resolution.fetched.empty();
                for (auto& [strategy, objects] : resolution.fetched) state.listing_cache[strategy] = std::move(objects);
                if (fetched_any) state.listing_incomplete = false;
                for (const auto& entry : resolution.manifest) {
                    if (entry.first.is_selectable()) {
                        state.current_type = entry.first;
                        break;
                    }
                }
                state.manifest = std::move(resolution.manifest);
                return selecting_state(state, std::nullopt, ImportSummary{std::move(resolution.notes), imported},
                                       nullptr);
            });
        });
    });
    return id;
}

std::expected<void, std::string> WorkflowController::export_manifest(const std::string& path,
                                                                     std::set<std::string> names) const {
    ManifestSelection manifest;
    {
        auto guard = inner_->lock();
        State& state = inner_->state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) {
            return std::unexpected(std::string(kManifestExportOffScreen));
        }
        commit_selection(state.manifest, state.current_type, std::move(names));
        manifest = state.manifest;
        Publication publication = selecting_publication(state, std::nullopt);
        guard.unlock();
        inner_->publish(std::move(publication));
    }
    // Record rows are not metadata: a package manifest never names them.
    std::erase_if(manifest, [](const auto& entry) {
        return entry.first == MetadataType::ProductBundle || entry.first == MetadataType::ConstraintModel ||
               entry.first.is_data_record();
    });
    if (manifest.empty()) return std::unexpected(std::string(kManifestExportEmpty));
    const std::string text =
        metadata::manifest::PackageManifestWriter(std::string(kExportApiVersion)).render_types(manifest);
    // The new text goes to a file beside the chosen one and is renamed over it, so a failed write
    // leaves the previous file as it was.
    if (const std::error_code error = platform_fs::files::replace_durably(std::filesystem::path(path), text)) {
        const std::string detail = inner_->parts().use_cases->sanitize_diagnostic(error.message());
        return std::unexpected(fill_all(kManifestWriteFailed, detail));
    }
    return {};
}

std::expected<void, std::string> WorkflowController::clear_manifest() const {
    std::optional<Publication> publication;
    {
        auto guard = inner_->lock();
        State& state = inner_->state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) {
            return std::unexpected(std::string(kClearOffScreen));
        }
        state.manifest.clear();
        publication = selecting_publication(state, std::nullopt);
    }
    inner_->publish(std::move(*publication));
    return {};
}

}  // namespace ambrel::workflow

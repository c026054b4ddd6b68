#include "wiring/retrieval_ports.hpp"

#include <utility>

#include "metadata/component_reading.hpp"
#include "metadata/retrieve/retrieve_service.hpp"
#include "metadata/retrieve/selection.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/below.hpp"
#include "text/text.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/git_ports.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using domain::CancellationToken;
using metadata::retrieve::MetadataRetrieveService;
using metadata::retrieve::RetrieveScope;
using metadata_types::MetadataType;

MetadataRetrieveService retrieve_service(const WiringContext& context, metadata::workspace::WorkspaceLocation location,
                                         const std::string& api_version) {
    return MetadataRetrieveService{std::move(location), api_version, metadata::retrieve::kDefaultRetrieveTimeout,
                                   *context.sf};
}

// The document path of a named component when it has exactly one and it is safe.
std::optional<std::string> document_path(MetadataType type, const std::string& name) {
    auto path = type.descriptor().content_format.decomposed_path(name);
    if (!path || !*path || !metadata_types::is_safe_relative_path(**path)) return std::nullopt;
    return std::move(**path);
}

// What an org retrieve of the names fetches. A custom field is retrieved with its object (the part of
// its name before the first "."), which must be among the present objects for the target side;
// Layouts are retrieved by name.
struct TargetSelection {
    metadata::retrieve::Selection selection;
    metadata::retrieve::ObjectNames objects;
};

TargetSelection target_selection(MetadataType type, const std::set<std::string>& names) {
    TargetSelection out;
    if (type != MetadataType::CustomField) {
        out.selection.emplace(type, names);
        return out;
    }
    std::set<std::string> objects;
    for (const std::string& name : names) {
        const std::size_t dot = name.find('.');
        if (dot == std::string::npos) continue;
        std::string object = name.substr(0, dot);
        if (metadata::retrieve::is_object_api_name(object)) objects.insert(std::move(object));
    }
    if (!objects.empty()) out.selection.emplace(type, objects);
    out.objects = std::move(objects);
    return out;
}

PortResult<DocumentMap> read_target_documents(const WiringContext& context, const endpoint::DeployEndpoint& target,
                                              const std::set<std::string>& names, const std::string& api_version,
                                              MetadataType type, const CancellationToken& token) {
    if (const auto* side = target.git()) {
        const git::GitGateway git = context.git->with_token(token);
        auto layout = git_layout(git, side->repository, side->branch, true, context.git_snapshots.get());
        if (!layout) return std::unexpected(std::move(layout.error()));
        if (!*layout) return DocumentMap{};
        return read_branch_documents(*(*layout)->reader, (*layout)->layout, names, type);
    }
    const std::string& alias = target.org()->org.alias;
    auto location = workspace_location(context.workspace_root);
    if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
    const MetadataRetrieveService service = retrieve_service(context, std::move(*location), api_version);
    const TargetSelection wanted = target_selection(type, names);
    // Nothing that could have a document is asked for, so no retrieve would find one.
    if (!metadata::retrieve::has_members(wanted.selection)) return DocumentMap{};
    context.progress->report(progress::ProgressStage::RetrievingMetadata);
    auto retrieved = service.retrieve(alias, alias, wanted.selection, wanted.objects, RetrieveScope::Target, token);
    if (!retrieved) return std::unexpected(retrieve_failure_to_workflow(std::move(retrieved.error())));
    DocumentMap documents = read_workspace_documents(retrieved->workspace->target_project(), names, type);
    if (auto closed = retrieved->workspace->close(); !closed) {
        return std::unexpected(WorkflowFailure::from_workspace_error(closed.error()));
    }
    return documents;
}

class TargetLayouts final : public app::ports::TargetLayoutReading {
public:
    explicit TargetLayouts(WiringContext context) : context_(std::move(context)) {}
    PortResult<std::map<std::string, std::string>> target_layout_reading(const endpoint::DeployEndpoint& target,
                                                                         const std::set<std::string>& layout_names,
                                                                         const std::string& api_version,
                                                                         const CancellationToken& token) const override {
        return read_target_documents(context_, target, layout_names, api_version, MetadataType::Layout, token);
    }

private:
    WiringContext context_;
};

class TargetFields final : public app::ports::TrackingDependencies {
public:
    explicit TargetFields(WiringContext context) : context_(std::move(context)) {}
    PortResult<std::map<std::string, std::string>> target_field_reading(const endpoint::DeployEndpoint& target,
                                                                        const std::set<std::string>& field_names,
                                                                        const std::string& api_version,
                                                                        const CancellationToken& token) const override {
        return read_target_documents(context_, target, field_names, api_version, MetadataType::CustomField, token);
    }

private:
    WiringContext context_;
};

}  // namespace

PortFunction<&app::ports::CorePorts::metadata_retrieval> build_metadata_retrieval(const WiringContext& context) {
    return [context](const std::string& source_org, const std::string& target_org, const app::CompareSelection& selection,
                     const std::set<std::string>& object_names, const app::RetrieveContinuation* continuation,
                     RetrieveScope scope, const std::string& api_version,
                     const CancellationToken& token) -> PortResult<app::RetrievedWorkspace> {
        auto location = workspace_location(context.workspace_root);
        if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
        const MetadataRetrieveService service = retrieve_service(context, std::move(*location), api_version);
        if (continuation != nullptr) {
            // Progress shows only when something is fetched; the delta itself decides what that is.
            if (!metadata::retrieve::retrieve_delta_is_empty(continuation->retrieved, selection, object_names, scope)) {
                context.progress->report(progress::ProgressStage::RetrievingMetadata);
            }
            auto missing = service.retrieve_delta(source_org, target_org, *continuation->workspace,
                                                  continuation->retrieved, selection, object_names, scope, token);
            if (!missing) return std::unexpected(retrieve_failure_to_workflow(std::move(missing.error())));
            return app::RetrievedWorkspace{continuation->workspace, std::move(*missing)};
        }
        context.progress->report(progress::ProgressStage::RetrievingMetadata);
        auto retrieved = service.retrieve(source_org, target_org, selection, object_names, scope, token);
        if (!retrieved) return std::unexpected(retrieve_failure_to_workflow(std::move(retrieved.error())));
        return app::RetrievedWorkspace{std::move(retrieved->workspace), std::move(retrieved->missing_objects)};
    };
}

PortFunction<&app::ports::CorePorts::component_reading> build_component_reading() {
    return [](MetadataType type, const std::filesystem::path& folder) -> PortResult<std::vector<domain::MetadataComponent>> {
        auto components = metadata::read_components(type, folder);
        if (!components) return std::unexpected(WorkflowFailure::operation(components.error().message()));
        return std::move(*components);
    };
}

std::shared_ptr<const app::ports::TargetLayoutReading> make_target_layout_reading(const WiringContext& context) {
    return std::make_shared<const TargetLayouts>(context);
}

std::shared_ptr<const app::ports::TrackingDependencies> make_tracking_dependencies(const WiringContext& context) {
    return std::make_shared<const TargetFields>(context);
}

DocumentMap read_workspace_documents(const std::filesystem::path& project, const std::set<std::string>& names,
                                     MetadataType type) {
    DocumentMap documents;
    const std::filesystem::path base = project / kProjectMetadataFolder;
    for (const std::string& name : names) {
        const auto path = document_path(type, name);
        if (!path) continue;
        // Links on the way are not followed and a FIFO is never waited on; such a name is just absent.
        auto text = platform_fs::below::read_file(base, *path);
        if (!text || !text::is_valid_utf8(*text)) continue;
        documents.emplace(name, std::move(*text));
    }
    return documents;
}

PortResult<DocumentMap> read_branch_documents(const git::GitContentReader& reader, const git::SfdxLayout& layout,
                                              const std::set<std::string>& names, MetadataType type) {
    DocumentMap documents;
    const std::vector<std::string> prefixes = layout.prefixes();
    for (const std::string& name : names) {
        const auto path = document_path(type, name);
        if (!path) continue;
        for (const std::string& prefix : prefixes) {
            auto text = reader.read_file(prefix + "/" + *path);
            if (text) {
                documents.emplace(name, std::move(*text));
                break;
            }
            if (text.error().kind() != git::GitError::Kind::FileNotFound) {
                return std::unexpected(git_to_failure(std::move(text.error())));
            }
        }
    }
    return documents;
}

}  // namespace ambrel::server::wiring

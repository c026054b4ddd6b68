#include "metadata/retrieve/retrieve_service.hpp"

#include <optional>

#include "metadata/manifest/api_versions.hpp"
#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/retrieve/retrieve_pair.hpp"
#include "platform_fs/files.hpp"

namespace ambrel::metadata::retrieve {
namespace {

// The checks shared by both retrieves: the stripped selection, or the failure.
std::expected<Selection, RetrieveFailure> checked_selection(std::string_view source_alias,
                                                            std::string_view target_alias, const Selection& selection,
                                                            const ObjectNames& present,
                                                            const domain::CancellationToken& token) {
    if (!has_members(selection)) {
        return std::unexpected(RetrieveFailure{MetadataRetrieveError::invalid_input(kSelectionEmpty), {}});
    }
    Selection stripped = strip_documentless_members(selection);
    if (auto valid = validate_inputs(source_alias, target_alias, stripped, present); !valid) {
        return std::unexpected(RetrieveFailure{std::move(valid.error()), {}});
    }
    if (token.is_cancelled()) return std::unexpected(RetrieveFailure{MetadataRetrieveError::Cancelled{}, {}});
    return stripped;
}

ObjectNames missing_objects_of(const Selection& stripped, const ObjectNames& present) {
    ObjectNames missing;
    for (const std::string& name : selected_objects(stripped)) {
        if (!present.contains(name)) missing.insert(missing.end(), name);
    }
    return missing;
}

MetadataRetrieveError manifest_not_written(std::error_code error) {
    return MetadataRetrieveError::Workspace{workspace::WorkspaceError::io(error, kCouldNotWriteRetrieveManifest)};
}

const std::filesystem::path& project_of(const workspace::MetadataWorkspace& workspace, RetrieveScope scope) {
    return scope == RetrieveScope::Source ? workspace.source_project() : workspace.target_project();
}

}  // namespace

std::expected<std::filesystem::path, std::error_code> write_manifest(std::string_view api_version,
                                                                     const std::filesystem::path& manifest_path,
                                                                     const Selection& selection) {
    const std::filesystem::path target = manifest::absolute_normalized(manifest_path);
    std::error_code error;
    if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
    if (error) return std::unexpected(error);
    const std::string text = manifest::PackageManifestWriter(std::string(api_version)).render_types(selection);
    if (const std::error_code written = platform_fs::files::replace_durably(target, text); written) {
        return std::unexpected(written);
    }
    return target;
}

RetrieveFailure fail_after_cleanup(MetadataRetrieveError error, const workspace::MetadataWorkspace& workspace) {
    RetrieveFailure failure{std::move(error), {}};
    if (auto closed = workspace.close(); !closed) failure.cleanup_errors.push_back(std::move(closed.error()));
    return failure;
}

std::expected<RetrievedMetadata, RetrieveFailure> MetadataRetrieveService::retrieve(
    std::string_view source_alias, std::string_view target_alias, const Selection& selection,
    const ObjectNames& present, RetrieveScope scope, const domain::CancellationToken& token) const {
    auto stripped = checked_selection(source_alias, target_alias, selection, present, token);
    if (!stripped) return std::unexpected(std::move(stripped.error()));
    ObjectNames missing = missing_objects_of(*stripped, present);

    auto created = workspace::MetadataWorkspace::create(location, api_version);
    if (!created) {
        return std::unexpected(RetrieveFailure{MetadataRetrieveError::Workspace{std::move(created.error())}, {}});
    }
    std::shared_ptr<workspace::MetadataWorkspace> workspace = std::move(*created);

    std::optional<SideRequest> source_request;
    std::optional<SideRequest> target_request;
    if (scope == RetrieveScope::Source) {
        // The source manifest is written even for an empty selection, so the project always has one.
        if (auto written = write_manifest(api_version, workspace->source_project() / "manifest" / "package.xml",
                                          *stripped);
            !written) {
            return std::unexpected(fail_after_cleanup(manifest_not_written(written.error()), *workspace));
        }
        if (!stripped->empty()) source_request = SideRequest{std::string(source_alias), workspace->source_project()};
    } else {
        const Selection scoped = target_scoped(*stripped, present);
        if (!scoped.empty()) {
            if (auto written = write_manifest(api_version, workspace->target_project() / "manifest" / "package.xml",
                                              scoped);
                !written) {
                return std::unexpected(fail_after_cleanup(manifest_not_written(written.error()), *workspace));
            }
            target_request = SideRequest{std::string(target_alias), workspace->target_project()};
        }
    }
    if (source_request || target_request) {
        if (auto ran = run_retrieve_pair(gateway, timeout, source_request, target_request, token); !ran) {
            return std::unexpected(fail_after_cleanup(std::move(ran.error()), *workspace));
        }
    }
    return RetrievedMetadata{std::move(workspace), std::move(missing)};
}

std::expected<ObjectNames, RetrieveFailure> MetadataRetrieveService::retrieve_delta(
    std::string_view source_alias, std::string_view target_alias, const workspace::MetadataWorkspace& workspace,
    const Selection& already_retrieved, const Selection& selection, const ObjectNames& present, RetrieveScope scope,
    const domain::CancellationToken& token) const {
    auto stripped = checked_selection(source_alias, target_alias, selection, present, token);
    if (!stripped) return std::unexpected(std::move(stripped.error()));
    ObjectNames missing = missing_objects_of(*stripped, present);

    const Selection side = scope == RetrieveScope::Source ? manifest_delta(*stripped, already_retrieved)
                                                          : target_scoped(*stripped, present);
    if (side.empty()) return missing;
    const std::filesystem::path& project = project_of(workspace, scope);
    if (auto written = write_manifest(api_version, project / "manifest" / "package.xml", side); !written) {
        return std::unexpected(RetrieveFailure{manifest_not_written(written.error()), {}});
    }
    std::optional<SideRequest> request = SideRequest{
        std::string(scope == RetrieveScope::Source ? source_alias : target_alias), project};
    auto ran = scope == RetrieveScope::Source
                   ? run_retrieve_pair(gateway, timeout, request, std::nullopt, token)
                   : run_retrieve_pair(gateway, timeout, std::nullopt, request, token);
    if (!ran) return std::unexpected(RetrieveFailure{std::move(ran.error()), {}});
    return missing;
}

}  // namespace ambrel::metadata::retrieve

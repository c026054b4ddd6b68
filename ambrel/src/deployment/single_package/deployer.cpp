#include "deployment/single_package/deployer.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <set>

#include <fmt/format.h>
#include <re2/re2.h>

#include "deployment/component_batch/component_batch.hpp"
#include "deployment/permission_batch/permission_batch.hpp"
#include "deployment/single_package/results.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/object_placeholder/object_placeholder.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "platform_fs/unix.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::single_package {
namespace {

using deploy_gateway::MetadataDeployResult;
using metadata_types::ContentFormat;
using metadata_types::PathTemplate;
using Result = MetadataDeployResult;

const re2::RE2& api_name() {
    static const re2::RE2 compiled{re2::StringPiece(kApiNamePattern.data(), kApiNamePattern.size())};
    return compiled;
}

bool can_deploy_metadata(const domain::ComponentDifference& row) {
    return row.deployable &&
           (row.deploy_scope == domain::MetadataDeployScope::Full ||
            row.deploy_scope == domain::MetadataDeployScope::TrackingOnly) &&
           row.change != domain::ChangeKind::NoChange;
}

std::vector<std::string_view> dot_parts(std::string_view name) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) return parts;
        start = dot + 1;
    }
}

// The refusal of a row's full name, or none.
std::optional<std::string_view> name_refusal(const domain::ComponentDifference& row) {
    const auto& descriptor = row.key().metadata_type.descriptor();
    const std::string& name = row.key().name;
    const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&descriptor.content_format.value);
    if (descriptor.api_name == "Profile" ||
        std::holds_alternative<ContentFormat::ContainerDocument>(descriptor.content_format.value)) {
        if (!component_batch::valid_component_full_name(descriptor, name)) return kInvalidNames;
        if (metadata::NamespacePolicy::is_packaged_generic_component(name)) return kNamespaced;
        return std::nullopt;
    }
    if (xml != nullptr && std::holds_alternative<PathTemplate::Layout>(xml->path_template.value)) {
        if (!component_batch::valid_component_full_name(descriptor, name)) return kInvalidNames;
        if (metadata::layout_reader::is_packaged_layout(name)) return kNamespaced;
        return std::nullopt;
    }
    const auto parts = dot_parts(name);
    for (const auto part : parts) {
        if (part.empty()) return kBlankNames;
        if (!re2::RE2::FullMatch(re2::StringPiece(part.data(), part.size()), api_name())) return kInvalidNames;
    }
    if (xml != nullptr && std::holds_alternative<PathTemplate::ObjectChild>(xml->path_template.value)) {
        const auto dot = name.find('.');
        const std::string_view child = dot == std::string::npos ? std::string_view(name) : std::string_view(name).substr(dot + 1);
        if (metadata::NamespacePolicy::is_packaged_generic_component(child)) return kNamespaced;
        return std::nullopt;
    }
    if (row.key().metadata_type == metadata_types::MetadataType::CustomField) {
        if (row.deploy_scope != domain::MetadataDeployScope::TrackingOnly &&
            metadata::NamespacePolicy::is_packaged_field(parts.back())) {
            return kNamespaced;
        }
        return std::nullopt;
    }
    for (const auto part : parts) {
        if (metadata::NamespacePolicy::is_packaged_field(part)) return kNamespaced;
    }
    return std::nullopt;
}

bool is_placeholder_row(const domain::ComponentDifference& row) {
    if (row.change != domain::ChangeKind::Add || row.edited) return false;
    const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&row.key().metadata_type.descriptor().content_format.value);
    return xml != nullptr && std::holds_alternative<PathTemplate::ObjectDefinition>(xml->path_template.value);
}

// Creates the project folder itself without following or reusing anything already there: a folder
// left by an earlier run under the same name would otherwise deploy its files as unselected
// components.
std::expected<void, std::string> create_fresh_project_root(const std::filesystem::path& root) {
    const auto parent = root.parent_path();
    std::error_code probe;
    if (!parent.empty() && !std::filesystem::exists(std::filesystem::symlink_status(parent, probe))) {
        if (auto created = platform_fs::unix::create_private_directory(parent); !created) {
            return std::unexpected(created.error().message());
        }
    }
    if (::mkdir(root.c_str(), 0777) != 0) {
        if (errno == EEXIST) {
            return std::unexpected(fmt::format(fmt::runtime(kFolderExists), root.filename().string()));
        }
        return std::unexpected(platform_fs::files::last_error().message());
    }
    return {};
}

std::expected<void, std::string> write_container(const PreparedFlsContainer& container,
                                                 const std::filesystem::path& package_dir) {
    if (auto refusal = permission_batch::validate_full_name(container.full_name)) {
        return std::unexpected(permission_batch::append_kind(kContainerFailed, *refusal));
    }
    const std::string relative = container.kind == domain::FlsContainerKind::Profile
                                     ? fmt::format("profiles/{}.profile-meta.xml", container.full_name)
                                     : fmt::format("permissionsets/{}.permissionset-meta.xml", container.full_name);
    if (!metadata_types::is_safe_relative_path_for(relative, false)) return std::unexpected(std::string(kContainerUnsafe));
    const auto destination = package_dir / component_batch::kMainDefault / relative;
    if (!destination.has_parent_path()) return std::unexpected(std::string(kContainerNoParent));
    std::error_code error;
    std::filesystem::create_directories(destination.parent_path(), error);
    if (error) return std::unexpected(error.message());
    if (auto written = component_batch::write_new_file(destination, container.xml)) {
        if (written == std::errc::file_exists) return std::unexpected(std::string(kContainerExists));
        return std::unexpected(written.message());
    }
    return {};
}

}  // namespace

std::expected<SinglePackageSummary, std::string> SinglePackageDeployer::run(const SinglePackageRun& request,
                                                                            const domain::CancellationToken& token) {
    // What the caller guarantees.
    if (text::is_blank(request.target_org)) support::fail_precondition(std::string(kBlankTarget));
    for (const auto& row : request.rows) {
        if (!can_deploy_metadata(row)) {
            support::fail_precondition(fmt::format(fmt::runtime(kCannotDeploy), row.key().name, row.summary()));
        }
    }
    std::set<domain::ComponentKey> keys;
    for (const auto& row : request.rows) {
        if (!keys.insert(row.key()).second) support::fail_precondition(std::string(kDuplicateKeys));
    }
    // Org data can hold names no package may carry; such a row stops the run before anything is sent.
    for (const auto& row : request.rows) {
        if (auto refusal = name_refusal(row)) return std::unexpected(fmt::format("{}: {}", *refusal, row.key().name));
    }

    if (auto created = create_fresh_project_root(request.project_root); !created) return std::unexpected(created.error());
    if (auto manifest = metadata::workspace::write_project_manifest(request.project_root, request.api_version);
        !manifest) {
        return std::unexpected(manifest.error().message());
    }

    std::vector<domain::MetadataComponent> components;
    std::vector<const domain::ComponentDifference*> packaged;
    std::vector<domain::ComponentDeploymentResult> early_failures;
    deploy_gateway::RequestedComponents requested;
    for (const auto& row : request.rows) {
        domain::MetadataComponent snapshot = row.source;
        if (is_placeholder_row(row)) {
            auto placeholder =
                metadata::object_placeholder::placeholder_object_xml(row.key().metadata_type.descriptor(), row.source);
            if (!placeholder) {
                if (request.mode != domain::DeployMode::BestEffort) return std::unexpected(placeholder.error());
                early_failures.push_back({row.key(), placeholder.error(), row.change,
                                          domain::ComponentDeploymentStatus::Failed});
                continue;
            }
            snapshot.document = std::move(*placeholder);
        }
        components.push_back(std::move(snapshot));
        requested.insert(expected_metadata_key(row));
        packaged.push_back(&row);
    }
    if (auto written = component_batch::package_metadata_components(components, request.package_dir); !written) {
        return std::unexpected(written.error());
    }
    for (const auto& container : request.containers) {
        if (auto written = write_container(container, request.package_dir); !written) {
            return std::unexpected(written.error());
        }
        requested.insert(permission_batch::to_metadata_component_key(
            metadata::permission_models::PermissionComponentKey::create(container.kind, container.full_name)));
    }

    SinglePackageSummary summary;
    summary.fls_results = request.fls_results;
    if (requested.empty()) {
        summary.component_results = std::move(early_failures);
        summary.package_completed = true;
        return summary;
    }

    const MetadataDeployResult result =
        gateway_.deploy(request.package_dir, request.project_root, request.target_org, requested, token);

    if (const auto* succeeded = std::get_if<Result::Succeeded>(&result.value);
        succeeded != nullptr && request.mode == domain::DeployMode::ValidateOnly && succeeded->run_tests_enabled &&
        !text::trim(succeeded->job_id).empty()) {
        summary.quick_deploy = domain::QuickDeployTicket{std::string(text::trim(succeeded->job_id)), request.target_org,
                                                         domain::deployed_component_count(request.rows)};
    }

    auto mapped = map_metadata_results(packaged, result, request.mode);
    if (const auto* tied = std::get_if<Result::ComponentFailures>(&result.value)) {
        apply_object_children_share_one_component(packaged, mapped, tied->failures, request.mode);
    }
    auto container_results = map_container_results(request.containers, result, request.mode);
    summary.fls_results.insert(summary.fls_results.end(), std::make_move_iterator(container_results.begin()),
                               std::make_move_iterator(container_results.end()));

    std::size_t early = 0;
    std::size_t next = 0;
    for (const auto& row : request.rows) {
        if (early < early_failures.size() && early_failures[early].key == row.key()) {
            summary.component_results.push_back(std::move(early_failures[early++]));
            continue;
        }
        if (next >= mapped.size()) support::fail_precondition("every packaged row must have a mapped result");
        summary.component_results.push_back(std::move(mapped[next++]));
    }

    summary.tests = gateway_.recorded_tests();
    summary.test_failures = gateway_.recorded_test_failures();
    summary.deployed_count = gateway_.recorded_deployed_count();
    // Retries after a whole rejection would deploy what the tests refused, or cut rows for another
    // row's failure; only an outcome per component lets them run.
    const auto* tied = std::get_if<Result::ComponentFailures>(&result.value);
    summary.package_completed =
        std::holds_alternative<Result::Succeeded>(result.value) || (tied != nullptr && !tied->rejection);
    return summary;
}

}  // namespace ambrel::deployment::single_package

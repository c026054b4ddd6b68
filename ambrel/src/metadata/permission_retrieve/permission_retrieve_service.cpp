#include "metadata/permission_retrieve/permission_retrieve_service.hpp"

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "concurrency/cancellation.hpp"
#include "metadata/manifest/permission_manifest_writer.hpp"
#include "metadata/retrieve/retrieve_command.hpp"
#include "metadata/retrieve/retrieve_pair.hpp"
#include "metadata/retrieve/retrieve_service.hpp"
#include "metadata/retrieve/selection.hpp"
#include "support/programming_error.hpp"
#include "cli/catalog_results.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::permission_retrieve {
namespace {

namespace fs = std::filesystem;
using retrieve::FailureSlot;

bool is_plain_component(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

MetadataRetrieveError invalid_input(std::string_view message) {
    return MetadataRetrieveError::invalid_input(message);
}

// One side's run: no keys, nothing to do; otherwise the command, its judgement and the proofs.
std::expected<PermissionFiles, MetadataRetrieveError> retrieve_one(const cli::SfCliGateway& gateway,
                                                                   std::string_view alias, const fs::path& project,
                                                                   const PermissionKeys& keys,
                                                                   const std::optional<ProjectRootIdentity>& identity,
                                                                   std::chrono::milliseconds timeout,
                                                                   const domain::CancellationToken& token,
                                                                   const DirectoryLister& lister) {
    if (keys.empty()) return PermissionFiles{};
    support::require(identity.has_value(), "A permission retrieve side with keys has a captured project identity");
    const PermissionComponentKey& first = *keys.begin();
    if (auto verified = identity->verify(alias, first); !verified) return std::unexpected(std::move(verified.error()));
    const auto outcome = retrieve::run_retrieve_command(gateway, alias, project, timeout, token);
    if (auto judged = retrieve::judge_retrieve_run(alias, outcome); !judged) {
        return std::unexpected(std::move(judged.error()));
    }
    if (auto verified = identity->verify(alias, first); !verified) return std::unexpected(std::move(verified.error()));
    return validate_retrieved_files(alias, project, keys, *identity, lister);
}

std::vector<PermissionComponentKey> as_list(const PermissionKeys& keys) { return {keys.begin(), keys.end()}; }

}  // namespace

std::expected<void, MetadataRetrieveError> validate_unique_keys(const PermissionKeys& keys, std::string_view side) {
    std::set<std::pair<domain::FlsContainerKind, std::string>> seen;
    for (const PermissionComponentKey& key : keys) {
        if (!seen.emplace(key.kind(), text::to_lower(key.full_name())).second) {
            return std::unexpected(
                invalid_input(fmt::format("Duplicate {} permission metadata component identity", side)));
        }
    }
    return {};
}

PermissionMetadataRetrieveService::PermissionMetadataRetrieveService(const cli::SfCliGateway& gateway,
                                                                     workspace::WorkspaceLocation location,
                                                                     std::chrono::milliseconds timeout,
                                                                     std::string api_version)
    : location_(std::move(location)),
      api_version_(std::move(api_version)),
      timeout_(timeout),
      gateway_(&gateway),
      lister_(default_directory_lister()),
      starter_(retrieve::start_worker) {}

PermissionMetadataRetrieveService PermissionMetadataRetrieveService::create(const cli::SfCliGateway& gateway,
                                                                            workspace::WorkspaceLocation location) {
    return PermissionMetadataRetrieveService(gateway, std::move(location), kDefaultPermissionTimeout,
                                             std::string(kDefaultPermissionApiVersion));
}

PermissionMetadataRetrieveService PermissionMetadataRetrieveService::with_settings(
    const cli::SfCliGateway& gateway, workspace::WorkspaceLocation location, std::chrono::milliseconds timeout,
    std::string api_version) {
    return PermissionMetadataRetrieveService(gateway, std::move(location), timeout, std::move(api_version));
}

PermissionMetadataRetrieveService PermissionMetadataRetrieveService::with_lister(
    std::shared_ptr<const DirectoryLister> lister) && {
    lister_ = std::move(lister);
    return std::move(*this);
}

PermissionMetadataRetrieveService PermissionMetadataRetrieveService::with_worker_starter(
    PermissionWorkerStarter starter) && {
    starter_ = std::move(starter);
    return std::move(*this);
}

std::expected<RetrievedPermissionMetadata, RetrieveFailure> PermissionMetadataRetrieveService::retrieve(
    std::string_view source_alias, std::string_view target_alias, const PermissionKeys& source_keys,
    const PermissionKeys& target_keys, const std::set<domain::PermissionSubject>& subjects,
    const domain::CancellationToken& cancellation) const {
    auto refuse = [](MetadataRetrieveError error) { return std::unexpected(RetrieveFailure{std::move(error), {}}); };
    if (text::is_blank(source_alias)) return refuse(invalid_input(retrieve::kSourceAliasBlank));
    if (text::is_blank(target_alias)) return refuse(invalid_input(retrieve::kTargetAliasBlank));
    if (text::contains_control(source_alias) || text::contains_control(target_alias)) {
        return refuse(invalid_input(cli::catalogs::kAliasControlRefusal));
    }
    if (source_keys.empty() && target_keys.empty()) return refuse(invalid_input(kNoPermissionComponent));
    for (const PermissionKeys* keys : {&source_keys, &target_keys}) {
        for (const PermissionComponentKey& key : *keys) {
            if (!is_plain_component(key.full_name())) return refuse(invalid_input(kInvalidFullName));
        }
    }
    if (auto unique = validate_unique_keys(source_keys, "source"); !unique) return refuse(std::move(unique.error()));
    if (auto unique = validate_unique_keys(target_keys, "target"); !unique) return refuse(std::move(unique.error()));
    if (cancellation.is_cancelled()) return refuse(MetadataRetrieveError::Cancelled{});

    auto created = workspace::MetadataWorkspace::create(location_, api_version_);
    if (!created) return refuse(MetadataRetrieveError::Workspace{std::move(created.error())});
    std::shared_ptr<workspace::MetadataWorkspace> workspace = std::move(*created);
    auto fail = [&](MetadataRetrieveError error) {
        return std::unexpected(retrieve::fail_after_cleanup(std::move(error), *workspace));
    };

    const auto writer = manifest::PermissionManifestWriter::create(api_version_);
    if (!writer) return fail(MetadataRetrieveError::Workspace{workspace::WorkspaceError(workspace::WorkspaceError::InvalidApiVersion{})});
    for (const auto& [project, keys] : {std::pair{&workspace->source_project(), &source_keys},
                                        std::pair{&workspace->target_project(), &target_keys}}) {
        const auto list = as_list(*keys);
        if (auto written = writer->write_with_subjects(*project / "manifest" / "package.xml", list, subjects);
            !written) {
            return fail(MetadataRetrieveError::Workspace{
                workspace::WorkspaceError::io(written.error().error, written.error().message)});
        }
    }

    std::optional<ProjectRootIdentity> source_identity;
    std::optional<ProjectRootIdentity> target_identity;
    if (!source_keys.empty()) {
        auto captured = ProjectRootIdentity::capture(source_alias, workspace->source_project(), source_keys);
        if (!captured) return fail(std::move(captured.error()));
        source_identity = std::move(*captured);
    }
    if (!target_keys.empty()) {
        auto captured = ProjectRootIdentity::capture(target_alias, workspace->target_project(), target_keys);
        if (!captured) return fail(std::move(captured.error()));
        target_identity = std::move(*captured);
    }

    FailureSlot slot;
    concurrency::JobCancellation source_token(cancellation);
    concurrency::JobCancellation target_token(cancellation);
    struct Side {
        std::string_view alias;
        const fs::path& project;
        const PermissionKeys& keys;
        const std::optional<ProjectRootIdentity>& identity;
        concurrency::JobCancellation& own;
        concurrency::JobCancellation& other;
        std::mutex result_mutex;
        // Guarded by result_mutex.
        std::optional<PermissionFiles> result;
    };
    std::array<Side, 2> sides{
        Side{source_alias, workspace->source_project(), source_keys, source_identity, source_token, target_token, {}, {}},
        Side{target_alias, workspace->target_project(), target_keys, target_identity, target_token, source_token, {}, {}}};

    const cli::SfCliGateway& gateway = *gateway_;
    const DirectoryLister& lister = *lister_;
    const auto timeout = timeout_;
    std::vector<std::thread> workers;
    for (Side& side : sides) {
        auto body = [&gateway, &lister, &slot, &side, timeout]() noexcept {
            try {
                auto files = retrieve_one(gateway, side.alias, side.project, side.keys, side.identity, timeout,
                                          side.own, lister);
                if (!files) {
                    retrieve::record_failure(slot, side.other, std::move(files.error()));
                    return;
                }
                std::lock_guard lock(side.result_mutex);
                side.result = std::move(*files);
            } catch (...) {
                retrieve::record_failure(
                    slot, side.other,
                    MetadataRetrieveError::CouldNotRun{std::string(side.alias), std::string(kPermissionWorkerPanicked)});
            }
        };
        auto started = starter_(body);
        if (!started) {
            retrieve::record_failure(
                slot, side.other,
                MetadataRetrieveError::CouldNotRun{std::string(side.alias), std::string(kPermissionWorkerPanicked)});
            break;
        }
        workers.push_back(std::move(*started));
    }
    for (std::thread& worker : workers) worker.join();

    if (auto error = slot.take()) return fail(std::move(*error));
    std::array<PermissionFiles, 2> maps;
    for (std::size_t i = 0; i < sides.size(); ++i) {
        std::lock_guard lock(sides[i].result_mutex);
        support::require(sides[i].result.has_value(),
                         "A permission retrieve side ended without a result and without a failure");
        maps[i] = std::move(*sides[i].result);
    }
    return RetrievedPermissionMetadata{std::move(workspace), std::move(maps[0]), std::move(maps[1])};
}

}  // namespace ambrel::metadata::permission_retrieve

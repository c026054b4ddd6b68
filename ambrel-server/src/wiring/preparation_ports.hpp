#pragma once

// Org preparation over the Salesforce CLI: `CliPreparationPorts` implements the preparation port of
// the orchestrator, and `preparation_ports` gives the service's preparation group, whose inspection
// and application run `data::orchestrator::inspect` and `apply` over one shared adapter.
//
// Reads go to the catalogues of the shared `sf` gateway (describe, counts and unkeyed Ids with a
// query time-out of 120 seconds, running user profile), writes run in a private temporary workspace
// of their own below "quillary" in the workspace root, made at the start of the call and removed
// before it returns, on success and failure alike: the field deploy (an all-or-nothing metadata
// deploy of 1,860 seconds at most) and the bulk key fill (660 seconds at most). Workspaces, field
// packages and the key CSV use API version "65.0".
//
// Failures: describe and count errors reach the orchestrator unchanged; unkeyed-Id and profile errors
// are cleaned of secrets first. A write reports a workspace location refusal, a workspace error's
// display text, or its own failure; a close failure is reported only when the write itself
// succeeded. The ports turn every orchestrator failure, its cancellation ("Preparing the orgs was
// cancelled.") included, into kind Operation with the orchestrator's text and no org alias.
//
// Thread-safety: the adapter holds only immutable data and shared references, so both ports may run
// at once; each write has its own workspace.

#include <chrono>
#include <filesystem>
#include <memory>

#include "app/ports/preparation.hpp"
#include "cli/gateway.hpp"
#include "data/preparation/preparation_ports.hpp"
#include "progress/progress.hpp"

namespace ambrel::server::wiring {

struct WiringContext;

inline constexpr std::chrono::seconds kPreparationQueryTimeout{120};
inline constexpr std::chrono::seconds kPreparationUpsertTimeout{660};
inline constexpr std::chrono::seconds kPreparationDeployTimeout{1860};
inline constexpr std::string_view kPreparationApiVersion = "65.0";

class CliPreparationPorts final : public data::preparation::PreparationPorts {
public:
    CliPreparationPorts(std::filesystem::path workspace_root, std::shared_ptr<const cli::SfCliGateway> gateway,
                        std::shared_ptr<progress::ProgressSink> progress)
        : workspace_root_(std::move(workspace_root)), gateway_(std::move(gateway)), progress_(std::move(progress)) {}

    std::expected<std::optional<data::schema::ObjectSchema>, cli::CatalogError> describe(
        std::string_view org, std::string_view object, const domain::CancellationToken& cancel) override;
    std::expected<std::uint32_t, cli::CatalogError> count_records(std::string_view org, std::string_view object,
                                                                  std::optional<std::string_view> key_field,
                                                                  const domain::CancellationToken& cancel) override;
    std::expected<std::vector<std::string>, cli::CatalogError> unkeyed_ids(
        std::string_view org, std::string_view object, std::string_view key_field,
        const domain::CancellationToken& cancel) override;
    std::expected<std::optional<std::string>, cli::CatalogError> running_user_profile(
        std::string_view org, const domain::CancellationToken& cancel) override;
    std::expected<void, std::string> deploy_fields(std::string_view org, const std::vector<std::string>& objects,
                                                   const std::optional<std::string>& profile,
                                                   const domain::CancellationToken& cancel) override;
    data::preparation::KeyFillResult fill_keys(std::string_view org, std::string_view object,
                                               std::string_view key_field, std::span<const std::string> ids,
                                               const domain::CancellationToken& cancel) override;
    void report_progress(progress::ProgressStage stage, std::optional<std::uint32_t> current,
                         std::optional<std::uint32_t> total, std::string_view detail) override;

private:
    const std::filesystem::path workspace_root_;
    const std::shared_ptr<const cli::SfCliGateway> gateway_;
    const std::shared_ptr<progress::ProgressSink> progress_;
};

// The preparation group over one shared adapter.
std::shared_ptr<const app::ports::PreparationDependencies> make_preparation_ports(
    std::shared_ptr<CliPreparationPorts> adapter);
std::shared_ptr<const app::ports::PreparationDependencies> make_preparation_ports(const WiringContext& context);

}  // namespace ambrel::server::wiring

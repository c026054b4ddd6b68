#pragma once

// WorkflowController: the one stateful object behind the server. Every workflow request becomes a call
// of one of its commands; every change of screen reaches the front end through its state listeners.
// This header holds the controller's state, its publication to listeners, the lifecycle of operations
// (begin, token, background work, completion, failure report, cancellation) and the disposal of
// comparison sessions (their temporary workspaces) including closing.
//
// The latest operation wins: beginning an operation cancels the previous one's token and makes it
// stale, and completions and failure reports of a stale operation change nothing. Every operation ends
// exactly once: by its completion, its failure report, a cancellation, a refused completion, or by
// becoming stale. Use cases run on the background executor outside the lock; completions, failure
// reports and listener calls run on the UI executor; workspace removal runs on the cleanup executor (or
// a fallback thread). Only the newest publication is ever delivered, so a listener never sees an older
// state after a newer one; a publication shares the state object, never copies it.
//
// Texts the user sees: "Operation cancelled.", "Salesforce operation failed.", "Background executor
// rejected the task.", "Background executor rejected the deployment.", "Could not publish workflow
// completion on the UI dispatcher.", "Temporary metadata cleanup failed.", "Operation cancelled, but
// temporary metadata cleanup failed.", "The org login was cancelled. You can close the browser tab it
// opened.", "Preparing the orgs was cancelled.", the Salesforce CLI sentence of kPrerequisiteMessage and
// the sign-in sentences of `Inner::error_message_for`. The selection side (org load, endpoints, member
// listing, org aliases and preparation, package manifests) shows the texts of the constants in its own
// block below, word for word; its immediate commands (manifest export and clear) return their refusal
// as a text instead of changing the screen.
//
// An exception thrown by a use case, a completion or a failure report never ends the process: it
// becomes a failure (`panic_to_failure`) and ends its operation with the error screen.
//
// Thread-safety: commands may be called from any thread. `Inner::mutex_` guards `State`; it is held only
// for short bookkeeping (never for a use case, a listener, an executor hand-over of a clean-up or file
// work). `Inner::endpoints_mutex_` serialises the writing of remembered endpoints and is always taken
// before the state lock. A mutex cannot be poisoned in C++, so there is no poison flag to ignore.

#include <cstdint>
#include <exception>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/source_override_error.hpp"
#include "app/use_cases.hpp"
#include "app/workflow_failure.hpp"
#include "cli/cache.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "endpoint/org_alias.hpp"
#include "endpoint_memory/endpoint_memory.hpp"
#include "git/inspection.hpp"
#include "json/json.hpp"
#include "logging/log_sink.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "progress/progress.hpp"
#include "workflow/deploy_road.hpp"
#include "workflow/operation_kind.hpp"
#include "workflow/scenario.hpp"
#include "workflow/task_executor.hpp"
#include "workflow/tokens.hpp"
#include "workflow/workflow_state.hpp"

namespace ambrel::workflow {

inline constexpr std::string_view kOperationCancelled = "Operation cancelled.";
inline constexpr std::string_view kOperationFailed = "Salesforce operation failed.";
inline constexpr std::string_view kPrerequisiteMessage =
    "Salesforce CLI is unavailable or incompatible. Install or update Salesforce CLI, make sure sf is on the IDE "
    "PATH, then retry.";
inline constexpr std::string_view kBackgroundRejectedTask = "Background executor rejected the task.";
inline constexpr std::string_view kBackgroundRejectedDeployment = "Background executor rejected the deployment.";
inline constexpr std::string_view kUiDispatcherRejected = "Could not publish workflow completion on the UI dispatcher.";
inline constexpr std::string_view kCleanupFailed = "Temporary metadata cleanup failed.";
inline constexpr std::string_view kCancelledCleanupFailed = "Operation cancelled, but temporary metadata cleanup failed.";
inline constexpr std::string_view kOrgLoginCancelled =
    "The org login was cancelled. You can close the browser tab it opened.";
inline constexpr std::string_view kPreparationCancelled = "Preparing the orgs was cancelled.";
inline constexpr std::string_view kMissingToken = "current operation must own a cancellation token";
inline constexpr std::string_view kSurfaceNeedsFailure = "surface_cleanup_failure requires a primary failure";

// What a listener receives: the state being published, the wire name of the active operation (absent
// when none runs) and the current operation id.
struct StateSnapshot {
    const WorkflowState& state;
    std::optional<std::string_view> active_operation;
    std::uint64_t operation_id = 0;
};

// The same three values with the state shared, as `WorkflowController::state_snapshot` answers.
struct SharedStateSnapshot {
    std::shared_ptr<const WorkflowState> state;
    std::optional<std::string_view> active_operation;
    std::uint64_t operation_id = 0;
};

using StateListener = std::function<void(const StateSnapshot&)>;
using SharedListener = std::shared_ptr<const StateListener>;
using SessionList = std::vector<SessionRef>;

// One publication on its way to the UI executor.
struct Publication {
    std::shared_ptr<const WorkflowState> state;
    std::vector<SharedListener> listeners;
    std::uint64_t generation = 0;
    std::optional<std::string_view> active_operation;
    std::uint64_t operation_id = 0;
};

// What beginning an operation returns: the sessions detached for disposal and the new id.
struct StartedOperation {
    SessionList sessions;
    std::uint64_t id = 0;
};

// The outcome of closing several sessions: the first failure with the later failures' non-blank
// messages appended, and the sessions whose close failed, in input order.
struct SessionCleanupResult {
    std::optional<app::WorkflowFailure> failure;
    SessionList failed;
};

using ListingCache = std::map<metadata_types::ListingStrategy, std::vector<cli::catalogs::SalesforceObject>>;

// Everything mutable in the controller; read or written only under `Inner`'s state lock.
struct State {
    std::shared_ptr<const WorkflowState> current;
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
    ManifestSelection manifest;
    std::map<metadata_types::ListingStrategy, std::vector<cli::catalogs::SalesforceObject>> listing_cache;
    // Present exactly while an operation is active.
    std::shared_ptr<MutableCancellationToken> operation_token;
    SessionRef current_session;
    // A finished compare's session whose completion has not run yet.
    SessionRef pending_session;
    // Sessions whose clean-up failed, to be tried again; distinct by identity.
    SessionList awaiting_disposal;
    std::optional<std::pair<std::string, std::string>> external_key_pair;
    std::shared_ptr<MutableCancellationToken> external_key_token;
    std::vector<std::pair<std::uint64_t, SharedListener>> listeners;
    std::uint64_t operation_id = 0;
    std::uint64_t publication_generation = 0;
    std::uint64_t external_key_check_id = 0;
    std::uint64_t next_listener_id = 0;
    metadata_types::MetadataType current_type = metadata_types::MetadataType::CustomField;
    bool listing_incomplete = false;
    bool deployment_started = false;
    bool source_dropped = false;
    bool remembered_endpoints_consulted = false;
    bool closed = false;
    std::optional<ExternalKeyStatus> external_key_status;
    std::optional<OperationKind> active_operation;

    // The deploy road: the record of the current deploy request, and the target fixes made in the
    // current comparison session (dropped when the controller lets go of that session).
    std::optional<DeploySnapshot> deploy_snapshot;
    std::optional<AccumulatedTargetFix> accumulated_target_fix;
    // An imported session scenario waiting to be replayed; dropped only by a new comparison or replaced
    // by the next import.
    std::optional<PendingScenario> pending_scenario;
};

// Replaces the current state and returns its publication. The caller holds the lock and publishes
// after releasing it.
Publication state_publication_locked(State& state, WorkflowState next);
// A publication of the unchanged current state (only the active operation changed).
Publication republish_current_locked(State& state);
// Takes the pending and current sessions out of the state and returns those to dispose of. Without
// force, the session of a deploy whose work has started is only released: the deploy disposes of it.
SessionList detach_sessions_locked(State& state, bool force);
// The sessions without repeats (by identity), in order of first occurrence.
SessionList identity_distinct(SessionList sessions);
// Closes each distinct session; never throws for a closer that throws (that session counts as failed).
SessionCleanupResult close_all(const SessionList& sessions);
// The failure that a caught exception stands for: a thrown WorkflowFailure as it is, the text of a
// standard exception or of a thrown text as an Operation failure, "Salesforce operation failed."
// otherwise.
app::WorkflowFailure panic_to_failure(std::exception_ptr payload);

// ---- Selection side ----

// Texts the selection side shows.
inline constexpr std::string_view kNoOrgAliases =
    "No Salesforce CLI aliases were found. Use the + button next to the Source or Target dropdown to log in to an "
    "org, or authenticate one in a terminal and select Reload Orgs.";
inline constexpr std::string_view kSelectSource = "Select a source org or git repository.";
inline constexpr std::string_view kSelectTarget = "Select a target org or git repository.";
inline constexpr std::string_view kMemberNotFound = "Member '{}' of type {} was not found in the source org and was skipped.";
inline constexpr std::string_view kManifestExportOffScreen = "Manifest export is only available on the selection screen.";
inline constexpr std::string_view kManifestExportEmpty = "Select at least one component to export.";
inline constexpr std::string_view kManifestWriteFailed = "Could not write the manifest file: {0}";
inline constexpr std::string_view kClearOffScreen = "Clearing the selection is only available on the selection screen.";
inline constexpr std::string_view kSessionExportClosed = "The session cannot be exported: the panel has been closed.";
inline constexpr std::string_view kSessionExportLoading =
    "The session cannot be exported while the screen is still loading. Wait for it to finish.";
inline constexpr std::string_view kSessionExportComparing =
    "The session cannot be exported while the comparison is running. Wait for the differences.";
inline constexpr std::string_view kSessionExportTargetHealth = "The target health check is waiting for a decision.";
inline constexpr std::string_view kSessionExportDeploying =
    "The session cannot be exported while a deployment is running. Wait for the results screen.";
inline constexpr std::string_view kSessionExportError =
    "The session cannot be exported from the error screen: no session content is left to write.";
inline constexpr std::string_view kSessionExportEmpty = "Select at least one component before exporting the session.";
inline constexpr std::string_view kSessionWriteFailed = "Could not write the session file: {0}";
inline constexpr std::string_view kScenarioManifestWithoutSource =
    "The comparison manifest was not applied because no source endpoint is available to validate it against.";
// The API version that exported manifests name.
inline constexpr std::string_view kExportApiVersion = "65.0";

// The side of an org alias creation.
enum class EndpointSide : std::uint8_t { Source, Target };

// What resolving a manifest against the source gives: the notes (the given ones and the skipped
// members), the resolved selection, and the listings fetched on the way.
struct ManifestResolution {
    std::vector<std::string> notes;
    ManifestSelection manifest;
    ListingCache fetched;
};

// The selection screen built from the state's selection-side fields. The caller holds the lock.
WorkflowState selecting_state(const State& state, std::optional<std::string> error_message,
                              std::optional<ImportSummary> import_summary,
                              std::shared_ptr<const data::preparation::OrgPreparationReport> org_preparation);
// The selection screen with the message (no import summary, no org preparation) made current.
Publication selecting_publication(State& state, std::optional<std::string> error_message);
// When the selection screen is current: rebuilt from the state, keeping its message, import summary
// and org preparation; otherwise nothing changes.
std::optional<Publication> selecting_republication_locked(State& state);
// Stores the names chosen for the type (a record-data type stores nothing) and derives dependent entries.
void commit_selection(ManifestSelection& selection, metadata_types::MetadataType type, std::set<std::string> names);
// How a finished org load keeps an endpoint: a git endpoint as it is, an org endpoint only when exactly
// one listed org has its alias, username and org id (the last two ignoring ASCII case), replaced by it.
std::optional<endpoint::DeployEndpoint> retain_org(const std::vector<endpoint::OrgAlias>& orgs,
                                                   const std::optional<endpoint::DeployEndpoint>& endpoint);
// A chosen endpoint resolved against the org list: a git endpoint as it is, an org endpoint as the one
// listed org with exactly its alias, or nothing.
std::optional<endpoint::DeployEndpoint> resolve_endpoint(const std::vector<endpoint::OrgAlias>& orgs,
                                                         endpoint::DeployEndpoint endpoint);
// Trims the member selection of the listed type's strategy to what the new listing holds.
void retain_manifest_for_strategy_locked(State& state, metadata_types::MetadataType type,
                                         const std::vector<cli::catalogs::SalesforceObject>& objects,
                                         bool source_is_org);
// The members the selection screen shows for the current type.
std::vector<cli::catalogs::SalesforceObject> components_locked(const State& state);
// The answer of a repository inspection that succeeded.
json::Value git_inspection_value(const git::GitRepoInspection& inspection);

using OuterTokenProvider = std::function<std::unique_ptr<domain::CancellationToken>()>;
using UiThreadTest = std::function<bool()>;
// Applied to the state under the lock when a completion runs; returns the new screen.
using Completion = std::move_only_function<WorkflowState(State&)>;

class WorkflowControllerBuilder;

// The controller's internals, shared by the handle and by every task it starts, so they live until the
// last of them has run. The operation and disposal machinery is public for the controller's own command
// sources (and their tests); the front end only uses `WorkflowController`.
class Inner : public std::enable_shared_from_this<Inner> {
public:
    struct Parts {
        std::shared_ptr<const app::QuillaryUseCases> use_cases;
        std::shared_ptr<TaskExecutor> background;
        std::shared_ptr<TaskExecutor> external_keys;
        std::shared_ptr<TaskExecutor> ui;
        std::shared_ptr<TaskExecutor> cleanup;
        std::shared_ptr<TaskExecutor> fallback;
        OuterTokenProvider outer_tokens;
        UiThreadTest is_ui_thread;
        std::shared_ptr<progress::ProgressSink> progress;
        std::shared_ptr<logging::LogSink> log;
        std::shared_ptr<cli::CliCommandCache> cli_cache;
        std::shared_ptr<const endpoint_memory::EndpointMemory> endpoint_memory;
    };

    explicit Inner(Parts parts);
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;

    const Parts& parts() const noexcept { return parts_; }

    // The state lock's guard, and the state it guards (the guard is the proof that the lock is held).
    std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }
    State& state(const std::unique_lock<std::mutex>& guard);
    std::unique_lock<std::mutex> lock_endpoints() const { return std::unique_lock(endpoints_mutex_); }

    // Publication (controller state and listeners).
    void transition(WorkflowState next);
    void publish(Publication publication);
    void deliver(Publication publication);

    // Operations.
    std::optional<StartedOperation> begin_operation_if(OperationKind kind, bool detach_sessions,
                                                       bool take_awaiting_disposal,
                                                       std::optional<std::uint64_t> expected_id);
    std::unique_ptr<domain::CancellationToken> require_token(std::uint64_t id);
    // Hands the job to the background executor; a refusal ends the operation with a failure. The job
    // runs with its exceptions caught: one that escapes ends the operation through `complete_failure`.
    void execute_background(std::uint64_t id, Task job);
    // Hands the completion to the UI executor; a refusal is recorded (`record_ui_dispatcher_failure`).
    void dispatch_completion(std::uint64_t id, Completion completion);
    void complete_failure(std::uint64_t id, app::WorkflowFailure failure, SessionRef session = nullptr);
    std::string failure_message(const app::WorkflowFailure& failure) const;
    static std::optional<std::string> error_message_for(const app::WorkflowFailure& failure, std::string_view text);
    std::string sanitized_failure(const app::WorkflowFailure& failure) const;
    void record_ui_dispatcher_failure(std::uint64_t id);
    bool cancel_internal(std::optional<std::uint64_t> expected_id);

    // The common shape of an operation's background work: take the token, run the use case with its
    // exceptions caught, then post the completion built from its value or report its failure.
    template <class T>
    void run_use_case(std::uint64_t id,
                      std::move_only_function<app::UseCaseResult<T>(const domain::CancellationToken&)> work,
                      std::move_only_function<WorkflowState(State&, T)> apply);

    // Clean-ups.
    void execute_non_project_cleanup(const std::shared_ptr<TaskExecutor>& executor, Task task);
    void retain_cleanup_failures_or_retry(SessionList failed);
    void schedule_after_cleanup(StartedOperation started, Task next_step);
    void surface_cleanup_failure(SessionCleanupResult result, std::uint64_t id);
    void close_and_surface(SessionRef session, std::uint64_t id);
    void schedule_close_and_surface(SessionRef session, std::uint64_t id);
    void close_and_surface_after_reject(std::uint64_t id, SessionRef session);
    bool match_session_still_owned_elsewhere(std::uint64_t id, const SessionRef& session);
    std::optional<SessionList> detach_for_disposal();

    // Compare and review: the compare job's hand-over of a new session to the UI executor.
    void complete_comparison(std::uint64_t id, SessionRef session);

    // The deploy road. Each `execute_*` posts its background work; a refusal of the executor closes the
    // session and fails the operation.
    std::optional<std::uint64_t> route_deploy(SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                                              domain::DeployMode deploy_mode);
    void execute_deploy(std::uint64_t id, SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                        domain::DeployMode deploy_mode, std::optional<std::vector<std::string>> test_names,
                        std::optional<ContainerChoice> containers);
    void execute_check_target_health(std::uint64_t id, SessionRef session, app::SelectedKeys keys,
                                     domain::FlsMode fls_mode, domain::DeployMode deploy_mode,
                                     std::vector<std::string> notes, bool recheck);
    void continue_after_health_check(std::uint64_t id, SessionRef session, app::SelectedKeys keys,
                                     domain::FlsMode fls_mode, domain::DeployMode deploy_mode);
    void execute_fix_target_health(std::uint64_t id, SessionRef session, data::bundles::transfer::HealthReport report,
                                   std::set<std::size_t> chosen, app::SelectedKeys keys, domain::FlsMode fls_mode,
                                   domain::DeployMode deploy_mode);
    // The background body of the Apex test listing.
    void execute_list_apex_tests(std::uint64_t id, SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                                 domain::DeployMode deploy_mode);
    void execute_match(std::uint64_t id, SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                       domain::DeployMode deploy_mode, std::optional<std::vector<std::string>> test_names);
    void quick_deploy(std::uint64_t id, domain::QuickDeployTicket ticket);
    void execute_quick_deploy(std::uint64_t id, const domain::QuickDeployTicket& ticket);

    // ---- Selection side: orgs, endpoints, listings, manifests, org preparation, external keys ----
    // (Each of these runs its own locking; none may be called with the state lock held.)

    // Hands the org load to the background executor; `relist` lists the chosen source again after it.
    void schedule_org_load(std::uint64_t id, bool relist);
    // After a "workflow/loadOrgs" org load: lists the current source's members again.
    void reload_current_listing(std::uint64_t org_load_id);
    // Shows the message on the review screen when that is current, else on the selection screen.
    void selection_error(std::string message);
    // The id of the listing operation the new source starts, if any. In restore mode only while
    // `expected_id` is still the current operation id.
    std::optional<std::uint64_t> select_source_endpoint_with(endpoint::DeployEndpoint endpoint, bool restore_mode,
                                                             std::uint64_t expected_id);
    void select_target_endpoint_with(endpoint::DeployEndpoint endpoint, bool restore_mode, std::uint64_t expected_id);
    // Writes the current org endpoints to the endpoint memory unless in restore mode.
    void remember_endpoints(bool restore_mode);
    void restore_remembered_endpoints(std::uint64_t org_load_id);
    json::Value git_inspection_failure_value(const std::filesystem::path& path, const app::WorkflowFailure& failure);
    // The org alias creation's completion on the UI executor: the new org list, then the new alias chosen.
    void complete_org_alias(std::uint64_t id, std::vector<endpoint::OrgAlias> orgs, std::string created_alias,
                            EndpointSide side);
    void complete_org_alias_failure(std::uint64_t id, const app::WorkflowFailure& failure);
    std::optional<std::uint64_t> run_org_preparation(bool apply);
    void refresh_external_keys();
    void complete_external_keys(std::uint64_t check_id, ExternalKeyStatus status);
    // Begins a listing operation for the source and schedules the member listing of the current type.
    std::optional<std::uint64_t> schedule_component_load(endpoint::DeployEndpoint source);
    // The member listing continuation: after the disposal of `started`'s sessions, lists `type` at the
    // source and applies the listing.
    void schedule_member_listing(StartedOperation started, endpoint::DeployEndpoint source,
                                 metadata_types::MetadataType type);
    // Resolves a mapped manifest against the source's listings; reads no controller state.
    std::expected<ManifestResolution, app::WorkflowFailure> resolve_manifest_against_source(
        ManifestSelection manifest, const std::set<metadata_types::MetadataType>& wildcard_types,
        std::vector<std::string>& notes, const ListingCache& cache, const endpoint::DeployEndpoint& source,
        const domain::CancellationToken& token) const;
    void fail_manifest_import(std::uint64_t id, std::string message);

private:
    // Ends the operation on the spot (record-data current type) and publishes the selection screen.
    void end_with_selection_screen(std::uint64_t id);
    // Sets a new external-key status when the check is still current; the publication if any.
    std::optional<Publication> apply_external_keys_locked(std::uint64_t check_id, ExternalKeyStatus status);

    // Ends the active operation (token released unset, active operation and deployment flag cleared,
    // operationFinished, caching off).
    void end_operation_locked(State& state);
    // The error screen for a failure; writes the failure line when the screen shows the detail text.
    WorkflowState failure_screen(const app::WorkflowFailure& failure) const;
    // Runs an operation's next step; one that throws ends the operation through `complete_failure`.
    void run_next_step(std::uint64_t id, Task& next_step);
    // Applies a failure report on the UI executor.
    void apply_failure_report(std::uint64_t id, const app::WorkflowFailure& failure, const SessionRef& session);

    const Parts parts_;
    mutable std::mutex endpoints_mutex_;
    // Guards state_.
    mutable std::mutex mutex_;
    State state_;
};

// Keeps the controller's internals alive and names one registered listener.
struct ListenerHandle {
    std::shared_ptr<Inner> inner;
    std::uint64_t id = 0;
};

// A handle: copies share one controller.
class WorkflowController {
public:
    explicit WorkflowController(std::shared_ptr<Inner> inner) noexcept : inner_(std::move(inner)) {}

    // Registers the listener unless the controller is closed; the id advances either way.
    ListenerHandle add_state_listener(StateListener listener) const;
    std::shared_ptr<const WorkflowState> state() const;
    SharedStateSnapshot state_snapshot() const;
    std::string sanitize_diagnostic(const std::string& text) const;
    // True when the cancellation took place; false when closed, when the id is not current, or when no
    // operation is active (then nothing changes). A deploy that writes its commit to a branch cannot be
    // cancelled (false, nothing changes); a deploy whose job was sent to an org stops its command and
    // ends on its results screen (true).
    bool cancel_operation(std::optional<std::uint64_t> operation_id) const;
    // Closes the controller; returns after the workspaces have been removed, except on the UI thread,
    // where removal moves to the cleanup executor. A second call does nothing.
    void close() const;

    // ---- Selection side ----
    std::optional<std::uint64_t> load_orgs() const;
    // A new comparison from the org list (the sources are not listed again). Refused (none), as every
    // command that begins an operation is, while a deploy writes its commit to a branch.
    std::optional<std::uint64_t> restart() const;
    std::optional<std::uint64_t> select_source_endpoint(endpoint::DeployEndpoint endpoint) const;
    // Always nothing: choosing a target starts no operation.
    std::optional<std::uint64_t> select_target_endpoint(endpoint::DeployEndpoint endpoint) const;
    json::Value inspect_git_repo(const std::filesystem::path& path) const;
    json::Value init_git_repo(const std::filesystem::path& path) const;
    std::optional<std::uint64_t> create_org_alias(EndpointSide side, std::string alias, std::string instance_url) const;
    std::optional<std::uint64_t> inspect_org_preparation() const;
    std::optional<std::uint64_t> apply_org_preparation() const;
    // `names`: what the screen shows as chosen for the type that was current until now.
    std::optional<std::uint64_t> select_metadata_type(metadata_types::MetadataType type,
                                                      std::set<std::string> names) const;
    std::optional<std::uint64_t> import_manifest(const std::filesystem::path& path) const;
    // Success, or the message the request answers with.
    std::expected<void, std::string> export_manifest(const std::string& path, std::set<std::string> names) const;
    std::expected<void, std::string> clear_manifest() const;

    // Session scenario files. Export writes the current session (with what the screen still shows)
    // and answers success or one of the texts of kSessionExport*; import reads a file on the
    // selection screen, restores its org endpoints and begins the operation that applies its member
    // selection and keeps the rest as the pending scenario. An unreadable file shows its reading
    // error on the selection screen and begins nothing.
    std::expected<void, std::string> export_session(const std::filesystem::path& path,
                                                    LiveScreenSelection live) const;
    std::optional<std::uint64_t> import_session(const std::filesystem::path& path) const;

    const std::shared_ptr<Inner>& inner() const noexcept { return inner_; }

    // Compare and review. Each answers the id of the operation it began, or none. A refused compare
    // shows "Select a source org or git repository.", "Select a target org or git repository.",
    // "Select at least one component.", "Could not resolve the selected Salesforce org IDs." or
    // "Source and target must be different Salesforce orgs." on the review screen when it is shown,
    // else on the selection screen; a compare whose session cannot reach the UI executor fails with
    // "UI dispatcher rejected completion.".
    std::optional<std::uint64_t> compare_with_options(std::set<std::string> current_selection,
                                                      metadata_types::LayoutComparisonMode layout_mode,
                                                      bool allow_best_effort_on_production,
                                                      bool retry_unexpected_errors_alone) const;
    // None when no review screen of that session is shown; else the edited flag or the refusal.
    std::optional<std::expected<bool, app::SourceOverrideError>> set_component_body(
        std::uint64_t session_id, metadata_types::MetadataType type, const std::string& name,
        const std::optional<std::string>& body) const;
    std::optional<std::uint64_t> back_to_review() const;
    std::optional<std::uint64_t> back_to_selection() const;

    // The deploy road. A command that finds no screen of the current comparison session to continue
    // from shows "No comparison session is available for deployment." (the target health answer and
    // the quick deploy refuse silently instead, and so do the confirmations while an operation runs or
    // a deploy's results are shown); a request without a deployable key shows "Select at
    // least one deployable component." on the review; a refused deploy mode shows its refusal text
    // (`ComparisonSession::refuses_deploy_mode`) as the error screen. A validation of a git target is
    // refused on every route before anything runs. After a deploy the outcome is logged and shown even
    // when its workspace cannot be removed; that session then waits for a later clean-up.
    std::optional<std::uint64_t> deploy(app::SelectedKeys selected, domain::FlsMode fls_mode,
                                        domain::DeployMode deploy_mode) const;
    std::optional<std::uint64_t> confirm_target_health(TargetHealthAction action) const;
    std::optional<std::uint64_t> confirm_tests(std::vector<std::string> tests,
                                               std::optional<domain::DeployMode> deploy_mode) const;
    std::optional<std::uint64_t> confirm_fls_containers(ContainerChoice containers,
                                                        std::optional<domain::DeployMode> deploy_mode) const;
    std::optional<std::uint64_t> quick_deploy() const;

private:
    std::shared_ptr<Inner> inner_;
};

class WorkflowControllerBuilder {
public:
    WorkflowControllerBuilder(std::shared_ptr<const app::QuillaryUseCases> use_cases,
                              std::shared_ptr<TaskExecutor> background, std::shared_ptr<TaskExecutor> ui);

    // Each setter keeps the last value given.
    WorkflowControllerBuilder cleanup(std::shared_ptr<TaskExecutor> executor) &&;
    WorkflowControllerBuilder is_ui_thread(UiThreadTest test) &&;
    WorkflowControllerBuilder progress(std::shared_ptr<progress::ProgressSink> sink) &&;
    WorkflowControllerBuilder log(std::shared_ptr<logging::LogSink> sink) &&;
    WorkflowControllerBuilder cli_cache(std::shared_ptr<cli::CliCommandCache> cache) &&;
    WorkflowControllerBuilder external_keys_executor(std::shared_ptr<TaskExecutor> executor) &&;
    WorkflowControllerBuilder endpoint_memory(std::shared_ptr<const endpoint_memory::EndpointMemory> memory) &&;

    WorkflowController build() &&;

    // Test-only: the parts that the server never replaces.
    WorkflowControllerBuilder fallback_for_testing(std::shared_ptr<TaskExecutor> executor) &&;
    WorkflowControllerBuilder outer_tokens_for_testing(OuterTokenProvider provider) &&;

private:
    Inner::Parts parts_;
};

template <class T>
void Inner::run_use_case(std::uint64_t id,
                         std::move_only_function<app::UseCaseResult<T>(const domain::CancellationToken&)> work,
                         std::move_only_function<WorkflowState(State&, T)> apply) {
    execute_background(id, [self = shared_from_this(), id, work = std::move(work), apply = std::move(apply)]() mutable {
        app::UseCaseResult<T> result = [&]() -> app::UseCaseResult<T> {
            try {
                auto token = self->require_token(id);
                return work(*token);
            } catch (...) {
                return std::unexpected(panic_to_failure(std::current_exception()));
            }
        }();
        if (!result) {
            self->complete_failure(id, std::move(result.error()));
            return;
        }
        self->dispatch_completion(id, [value = std::move(*result), apply = std::move(apply)](State& state) mutable {
            return apply(state, std::move(value));
        });
    });
}

}  // namespace ambrel::workflow

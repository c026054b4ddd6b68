#pragma once

// Matching and classifying the permission containers (profiles and permission sets) of a source and
// a target by exact kind and API name, before anything is read or deployed: a container is matched
// (its document is merged into the target's), created (a source permission set the target lacks),
// or ineligible with a fixed reason and result status. Also: the licence a created permission set
// needs and its verdict against the target org's licences, the container choices shown before a
// deploy, reading one top-level element of a document, the orderings of the module, and its error.
//
// Failures: `FlsSyncError::Message` "Duplicate FLS container Id returned by Salesforce" (no final
// period), "FLS container Id must not be blank", "FLS container API name must not be blank" (a
// container list read from a repository may hold them, so they are values, not faults), the licence
// channel's failure text, or `FlsSyncError::Cancelled`. Licence verdicts: "The target org does not
// have the license {}." and "The target org's licenses could not be listed: {}" (no final period).
//
// Stateless apart from the licence state a caller passes in; safe from any thread. A licence channel
// is borrowed for the call.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "deployment/fls_catalog/fls_catalog.hpp"
#include "domain/cancellation.hpp"
#include "domain/fls.hpp"
#include "metadata/permission_models/permission_models.hpp"
#include "metadata/retrieve/retrieve_error.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::deployment::fls_synchronizer {

using metadata::permission_models::PermissionComponentKey;

inline constexpr std::string_view kDuplicateContainerId = "Duplicate FLS container Id returned by Salesforce";
inline constexpr std::string_view kBlankContainerId = "FLS container Id must not be blank";
inline constexpr std::string_view kBlankContainerApiName = "FLS container API name must not be blank";
inline constexpr std::string_view kNamespacedReason = "Namespaced permission container is not copied.";
inline constexpr std::string_view kAmbiguousSourceReason = "Ambiguous source permission container API name.";
inline constexpr std::string_view kAmbiguousTargetReason = "Ambiguous target permission container API name.";
inline constexpr std::string_view kNotRetrievableReason = "Permission container is not retrievable and was not copied.";
inline constexpr std::string_view kNoSourceReason =
    "Matching source permission container was not found; target access was preserved.";
inline constexpr std::string_view kNoTargetProfileReason = "Matching target Profile was not found; Profiles are not created.";
inline constexpr std::string_view kProfilesNotCreated = "Profiles are not created by the permission transfer.";
inline constexpr std::string_view kMissingLicense = "The target org does not have the license {}.";
inline constexpr std::string_view kLicensesUnavailable = "The target org's licenses could not be listed: {}";
inline constexpr std::string_view kMatchedKeysDiffer = "Matched permission containers must have the same kind and API name";
inline constexpr std::string_view kLicenseElement = "license";
inline constexpr std::size_t kMaxLicenseChars = 2000;

// The error of the whole synchroniser module.
class FlsSyncError {
public:
    struct Cancelled {
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };
    struct Catalog {
        fls_catalog::FlsCatalogError error;
        friend bool operator==(const Catalog&, const Catalog&) = default;
    };
    struct Message {
        std::string text;
        friend bool operator==(const Message&, const Message&) = default;
    };
    struct Retrieve {
        metadata::retrieve::RetrieveFailure failure;
        friend bool operator==(const Retrieve&, const Retrieve&) = default;
    };
    struct Workspace {
        metadata::workspace::WorkspaceError error;
        friend bool operator==(const Workspace&, const Workspace&) = default;
    };
    using Variant = std::variant<Cancelled, Catalog, Message, Retrieve, Workspace>;

    FlsSyncError(Variant value) : value_(std::move(value)) {}
    static FlsSyncError message(std::string text) { return FlsSyncError(Message{std::move(text)}); }
    static FlsSyncError cancelled() { return FlsSyncError(Cancelled{}); }

    const Variant& variant() const noexcept { return value_; }
    // A cancellation reported by the catalogue counts as one too.
    bool is_cancelled() const noexcept;
    // The user-facing text ("Salesforce field workflow was cancelled" never comes from here: a
    // cancellation gives an empty text).
    std::string text() const;

    friend bool operator==(const FlsSyncError&, const FlsSyncError&) = default;

private:
    Variant value_;
};

using ContainerRef = std::pair<domain::FlsContainerKind, std::string>;
using LicenseMap = std::map<ContainerRef, std::string>;

// What a licence channel answers instead of a value.
struct LicenseChannelFailure {
    bool cancelled = false;
    std::string text;
    friend bool operator==(const LicenseChannelFailure&, const LicenseChannelFailure&) = default;
};

// Where licences come from: the source documents' licences and the target org's licence names.
class ContainerLicenseChannel {
public:
    virtual ~ContainerLicenseChannel() = default;
    virtual std::expected<LicenseMap, LicenseChannelFailure> source_licenses(const std::vector<ContainerRef>& containers,
                                                                             const domain::CancellationToken& token) const = 0;
    virtual std::expected<std::set<std::string>, LicenseChannelFailure> target_licenses(
        const domain::CancellationToken& token) const = 0;
};

struct MatchedContainer {
    // The source container, carrying the target's label.
    domain::FlsContainer container;
    PermissionComponentKey source_key;
    PermissionComponentKey target_key;
    friend bool operator==(const MatchedContainer&, const MatchedContainer&) = default;
};

struct IneligibleContainer {
    domain::FlsContainer container;
    std::string reason;
    domain::FlsResultStatus status = domain::FlsResultStatus::Skipped;
    friend bool operator==(const IneligibleContainer&, const IneligibleContainer&) = default;
};

struct ClassifiedContainers {
    std::vector<MatchedContainer> matched;
    std::vector<domain::FlsContainer> created;
    std::vector<IneligibleContainer> ineligible;
    friend bool operator==(const ClassifiedContainers&, const ClassifiedContainers&) = default;
};

// What is known of the target org's licences during one run; asked for at most once.
struct TargetLicenses {
    struct NotLoaded {};
    struct Known {
        std::set<std::string> names;
    };
    struct Unavailable {
        std::string text;
    };
    std::variant<NotLoaded, Known, Unavailable> state;
};

struct MatchKeyHash {
    std::size_t operator()(const ContainerRef& key) const noexcept;
};

std::expected<void, FlsSyncError> validate_containers(const std::vector<domain::FlsContainer>& containers);
std::unordered_map<ContainerRef, std::vector<domain::FlsContainer>, MatchKeyHash> group_by_match_key(
    const std::vector<domain::FlsContainer>& containers);
ClassifiedContainers classify_containers(const std::vector<domain::FlsContainer>& source,
                                         const std::vector<domain::FlsContainer>& target);

std::expected<LicenseMap, FlsSyncError> created_container_licenses(
    const std::vector<domain::FlsContainer>& created,
    const std::map<PermissionComponentKey, std::string>* preset_documents, const ContainerLicenseChannel* channel,
    const domain::CancellationToken& token);

// The trimmed text of the first direct child of the root in the metadata namespace with that local
// name; none for a malformed document or when there is no such element.
std::optional<std::string> extract_top_level_text(std::string_view document, std::string_view element);
// The document's top-level licence, cut to 2,000 characters; none when absent or blank.
std::optional<std::string> source_document_license(std::string_view document);

// The verdict for a needed licence: none when there is no problem, else the message. Loads the
// target's licences through the channel the first time it is needed.
std::expected<std::optional<std::string>, FlsSyncError> license_verdict(TargetLicenses& licenses,
                                                                        const ContainerLicenseChannel* channel,
                                                                        std::string_view license,
                                                                        const domain::CancellationToken& token);
std::expected<void, FlsSyncError> load_target_licenses(TargetLicenses& licenses, const ContainerLicenseChannel* channel,
                                                       const domain::CancellationToken& token);

std::expected<std::vector<domain::FlsContainerChoice>, FlsSyncError> match_fls_container_choices_from(
    std::vector<domain::FlsContainer> source, std::vector<domain::FlsContainer> target,
    const ContainerLicenseChannel* channel, const domain::CancellationToken& token);

// The orderings: each compares by its keys in order (lower-cased with full Unicode mapping, then
// byte-wise); negative, zero or positive.
int container_key_order(const ContainerRef& a, const ContainerRef& b);
int container_order(const domain::FlsContainer& a, const domain::FlsContainer& b);
int matched_order(const MatchedContainer& a, const MatchedContainer& b);
int choice_order(const domain::FlsContainerChoice& a, const domain::FlsContainerChoice& b);
int result_order(const domain::FlsResult& a, const domain::FlsResult& b);

// Sorts results by `result_order` with the lower-cased names computed once per distinct container.
void sort_results(std::vector<domain::FlsResult>& results);

}  // namespace ambrel::deployment::fls_synchronizer

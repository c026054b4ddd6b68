// Reading and writing session scenario files.

#include "session_export/session_scenario.hpp"

#include <algorithm>
#include <array>
#include <system_error>

#include <fmt/format.h>

#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::session_export {

namespace {

using metadata_types::MetadataType;
using Kind = SessionScenarioReadError::Kind;

constexpr std::array<std::string_view, 5> kScreenLabels = {"SELECTING", "REVIEWING", "SELECTING_TESTS",
                                                           "SELECTING_FLS_CONTAINERS", "RESULTS"};
constexpr std::array<std::string_view, 3> kTargetHealthLabels = {"fixAndDeploy", "deployWithoutFixing",
                                                                 "deployAfterRecheck"};
constexpr std::array<domain::FlsMode, 3> kFlsModes = {domain::FlsMode::None, domain::FlsMode::Additive,
                                                      domain::FlsMode::All};
constexpr std::array<domain::DeployMode, 3> kDeployModes = {
    domain::DeployMode::BestEffort, domain::DeployMode::ValidateOnly, domain::DeployMode::AllOrNothing};
constexpr std::array<domain::FlsContainerKind, 2> kContainerKinds = {domain::FlsContainerKind::PermissionSet,
                                                                     domain::FlsContainerKind::Profile};

// File keys.
constexpr std::string_view kVersion = "version";
constexpr std::string_view kScreen = "screen";
constexpr std::string_view kCapturedAt = "capturedAt";
constexpr std::string_view kSource = "source";
constexpr std::string_view kTarget = "target";
constexpr std::string_view kComparisonManifest = "comparisonManifest";
constexpr std::string_view kDeploySelection = "deploySelection";
constexpr std::string_view kPermissionsMode = "permissionsMode";
constexpr std::string_view kApexTests = "apexTests";
constexpr std::string_view kPermissionContainers = "permissionContainers";
constexpr std::string_view kDeployMode = "deployMode";
constexpr std::string_view kDeployModeIsFinal = "deployModeIsFinal";
constexpr std::string_view kTargetHealth = "targetHealth";
constexpr std::string_view kKind = "kind";
constexpr std::string_view kAlias = "alias";
constexpr std::string_view kRepository = "repository";
constexpr std::string_view kBranch = "branch";
constexpr std::string_view kApiName = "apiName";
constexpr std::string_view kOrgKind = "org";
constexpr std::string_view kGitKind = "git";
constexpr std::string_view kMissingVersion = "missing";

// Kind words of unknown values.
constexpr std::string_view kEndpointKindWord = "endpoint kind";
constexpr std::string_view kMetadataTypeWord = "metadata type";
constexpr std::string_view kPermissionsModeWord = "permissions mode";
constexpr std::string_view kContainerKindWord = "permission container kind";
constexpr std::string_view kDeployModeWord = "deploy mode";
constexpr std::string_view kScreenWord = "screen";
constexpr std::string_view kTargetHealthWord = "targetHealth";

SessionScenarioReadError invalid(std::string_view key) { return {Kind::InvalidField, std::string(key), {}}; }

SessionScenarioReadError unknown(std::string_view word, std::string_view value) {
    return {Kind::UnknownValue, std::string(word), std::string(value)};
}

template <class T, std::size_t N>
std::optional<T> index_lookup(const std::array<std::string_view, N>& labels, std::string_view text) {
    const auto found = std::find(labels.begin(), labels.end(), text);
    if (found == labels.end()) return std::nullopt;
    return static_cast<T>(found - labels.begin());
}

// A label member: absent gives nothing; a non-string the invalid field; no label the unknown value.
template <class T, class Lookup>
ReadResult<std::optional<T>> label_member(const json::Object& root, std::string_view key, std::string_view word,
                                          Lookup lookup) {
    const json::Value* value = json::find(root, key);
    if (value == nullptr) return std::optional<T>{};
    const auto text = json::as_string(*value);
    if (!text) return std::unexpected(invalid(key));
    auto found = lookup(*text);
    if (!found) return std::unexpected(unknown(word, *text));
    return std::optional<T>{*found};
}

json::Value string_value(std::string_view text) { return json::Value(json::String(text)); }

}  // namespace

std::string_view label(Screen screen) noexcept { return kScreenLabels[static_cast<std::size_t>(screen)]; }

std::string_view label(TargetHealthChoice choice) noexcept {
    return kTargetHealthLabels[static_cast<std::size_t>(choice)];
}

std::optional<Screen> screen_from_label(std::string_view text) noexcept {
    return index_lookup<Screen>(kScreenLabels, text);
}

std::optional<TargetHealthChoice> target_health_from_label(std::string_view text) noexcept {
    return index_lookup<TargetHealthChoice>(kTargetHealthLabels, text);
}

std::optional<domain::FlsMode> permissions_mode_from_label(std::string_view text) noexcept {
    for (const auto mode : kFlsModes) {
        if (domain::wire_id(mode) == text) return mode;
    }
    return std::nullopt;
}

std::optional<domain::DeployMode> deploy_mode_from_label(std::string_view text) noexcept {
    for (const auto mode : kDeployModes) {
        if (domain::wire_id(mode) == text) return mode;
    }
    return std::nullopt;
}

std::string SessionScenarioReadError::message() const {
    switch (kind) {
        case Kind::ReadFailure:
            return fmt::format("Could not read the session scenario file: {}", detail);
        case Kind::TooLarge:
            return "The session scenario file is too large (limit 5 MB).";
        case Kind::NotJson:
            return fmt::format("Could not parse the session scenario file: {}", detail);
        case Kind::RootNotObject:
            return "The session scenario file root must be a JSON object.";
        case Kind::UnsupportedVersion:
            return fmt::format(
                "Unsupported session scenario format version {} (supported versions: 1, 2, 3 and 4).", detail);
        case Kind::InvalidField:
            return fmt::format("The session scenario file has an invalid \"{}\" field.", detail);
        case Kind::UnknownValue:
            return fmt::format("Unknown {} \"{}\" in the session scenario file.", detail, value);
    }
    return {};
}

ReadResult<std::optional<ScenarioEndpoint>> parse_endpoint_field(const json::Value* value, std::string_view key) {
    if (value == nullptr || value->is_null()) return std::optional<ScenarioEndpoint>{};
    const json::Object* object = json::as_object(*value);
    if (object == nullptr) return std::unexpected(invalid(key));
    const auto kind = json::get_string(*object, kKind);
    if (!kind) return std::unexpected(invalid(key));
    if (*kind == kOrgKind) {
        const auto alias = json::get_string(*object, kAlias);
        if (!alias) return std::unexpected(invalid(key));
        return std::optional<ScenarioEndpoint>{ScenarioEndpoint{ScenarioEndpoint::Org{std::string(*alias)}}};
    }
    if (*kind == kGitKind) {
        const auto repository = json::get_string(*object, kRepository);
        const auto branch = json::get_string(*object, kBranch);
        if (!repository || !branch) return std::unexpected(invalid(key));
        return std::optional<ScenarioEndpoint>{
            ScenarioEndpoint{ScenarioEndpoint::Git{std::string(*repository), std::string(*branch)}}};
    }
    return std::unexpected(unknown(kEndpointKindWord, *kind));
}

ReadResult<ScenarioManifest> parse_manifest_value(const json::Value& value, std::string_view key) {
    const json::Object* object = json::as_object(value);
    if (object == nullptr) return std::unexpected(invalid(key));
    ScenarioManifest manifest;
    for (const auto& member : *object) {
        const std::string_view type_id(member.key().data(), member.key().size());
        const auto type = MetadataType::from_wire_id(type_id);
        if (!type || type->is_data_record()) return std::unexpected(unknown(kMetadataTypeWord, type_id));
        const json::Array* names = json::as_array(member.value());
        if (names == nullptr) return std::unexpected(invalid(key));
        const bool record_rows = *type == MetadataType::ProductBundle || *type == MetadataType::ConstraintModel;
        std::set<std::string> collected;
        for (const auto& element : *names) {
            const auto name = json::as_string(element);
            if (!name) return std::unexpected(invalid(key));
            if (record_rows && !metadata_types::is_valid_record_row_name(*name)) return std::unexpected(invalid(key));
            collected.emplace(*name);
        }
        manifest[*type] = std::move(collected);
    }
    return manifest;
}

ReadResult<ScenarioSelection> parse_selection_value(const json::Value& value) {
    auto manifest = parse_manifest_value(value, kDeploySelection);
    if (!manifest) return std::unexpected(std::move(manifest.error()));
    ScenarioSelection selection;
    for (auto& [type, names] : *manifest) {
        for (const auto& name : names) selection.insert(domain::ComponentKey{type, name});
    }
    return selection;
}

ReadResult<std::vector<std::string>> parse_string_array(const json::Array& elements, std::string_view key) {
    std::vector<std::string> collected;
    collected.reserve(elements.size());
    for (const auto& element : elements) {
        const auto text = json::as_string(element);
        if (!text) return std::unexpected(invalid(key));
        collected.emplace_back(*text);
    }
    return collected;
}

ReadResult<ScenarioContainers> parse_containers(const json::Array& elements) {
    ScenarioContainers containers;
    for (const auto& element : elements) {
        const json::Object* object = json::as_object(element);
        if (object == nullptr) return std::unexpected(invalid(kPermissionContainers));
        const auto kind_text = json::get_string(*object, kKind);
        if (!kind_text) return std::unexpected(invalid(kPermissionContainers));
        std::optional<domain::FlsContainerKind> kind;
        for (const auto candidate : kContainerKinds) {
            if (domain::wire_id(candidate) == *kind_text) kind = candidate;
        }
        if (!kind) return std::unexpected(unknown(kContainerKindWord, *kind_text));
        const auto api_name = json::get_string(*object, kApiName);
        if (!api_name) return std::unexpected(invalid(kPermissionContainers));
        containers.emplace(*kind, std::string(*api_name));
    }
    return containers;
}

json::Value endpoint_value(const std::optional<ScenarioEndpoint>& endpoint) {
    if (!endpoint) return json::Value(nullptr);
    json::Object object;
    if (const auto* org = std::get_if<ScenarioEndpoint::Org>(&endpoint->value)) {
        object[kKind] = string_value(kOrgKind);
        object[kAlias] = string_value(org->alias);
    } else {
        const auto& git = std::get<ScenarioEndpoint::Git>(endpoint->value);
        object[kKind] = string_value(kGitKind);
        object[kRepository] = string_value(git.repository);
        object[kBranch] = string_value(git.branch);
    }
    return json::Value(std::move(object));
}

json::Value manifest_value(const ScenarioManifest& manifest) {
    json::Object object;
    for (const auto& [type, names] : manifest) {
        json::Array array;
        for (const auto& name : names) array.emplace_back(json::String(name));
        object[type.wire_id()] = json::Value(std::move(array));
    }
    return json::Value(std::move(object));
}

ReadResult<SessionScenario> SessionScenario::from_json(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed) return std::unexpected(SessionScenarioReadError{Kind::NotJson, parsed.error().message(), {}});
    const json::Object* root = json::as_object(*parsed);
    if (root == nullptr) return std::unexpected(SessionScenarioReadError{Kind::RootNotObject, {}, {}});

    const json::Value* version = json::find(*root, kVersion);
    if (version == nullptr) {
        return std::unexpected(SessionScenarioReadError{Kind::UnsupportedVersion, std::string(kMissingVersion), {}});
    }
    const auto version_number = version->is_double() ? std::nullopt : json::as_int64(*version);
    if (!version_number || *version_number < kOldestScenarioFormatVersion || *version_number > kScenarioFormatVersion) {
        return std::unexpected(SessionScenarioReadError{Kind::UnsupportedVersion, json::write_compact(*version), {}});
    }

    SessionScenario scenario;
    const json::Value* captured = json::find(*root, kCapturedAt);
    const auto captured_at =
        captured == nullptr || captured->is_double() ? std::nullopt : json::as_uint64(*captured);
    if (!captured_at) return std::unexpected(invalid(kCapturedAt));
    scenario.captured_at = *captured_at;

    auto source = parse_endpoint_field(json::find(*root, kSource), kSource);
    if (!source) return std::unexpected(std::move(source.error()));
    scenario.source = std::move(*source);
    auto target = parse_endpoint_field(json::find(*root, kTarget), kTarget);
    if (!target) return std::unexpected(std::move(target.error()));
    scenario.target = std::move(*target);

    if (const json::Value* manifest = json::find(*root, kComparisonManifest)) {
        auto parsed_manifest = parse_manifest_value(*manifest, kComparisonManifest);
        if (!parsed_manifest) return std::unexpected(std::move(parsed_manifest.error()));
        scenario.comparison_manifest = std::move(*parsed_manifest);
    }
    if (const json::Value* selection = json::find(*root, kDeploySelection)) {
        auto parsed_selection = parse_selection_value(*selection);
        if (!parsed_selection) return std::unexpected(std::move(parsed_selection.error()));
        scenario.deploy_selection = std::move(*parsed_selection);
    }
    auto permissions_mode =
        label_member<domain::FlsMode>(*root, kPermissionsMode, kPermissionsModeWord, permissions_mode_from_label);
    if (!permissions_mode) return std::unexpected(std::move(permissions_mode.error()));
    scenario.permissions_mode = *permissions_mode;

    if (const json::Value* tests = json::find(*root, kApexTests)) {
        const json::Array* elements = json::as_array(*tests);
        if (elements == nullptr) return std::unexpected(invalid(kApexTests));
        auto names = parse_string_array(*elements, kApexTests);
        if (!names) return std::unexpected(std::move(names.error()));
        scenario.apex_tests = std::move(*names);
    }
    if (const json::Value* containers = json::find(*root, kPermissionContainers)) {
        const json::Array* elements = json::as_array(*containers);
        if (elements == nullptr) return std::unexpected(invalid(kPermissionContainers));
        auto parsed_containers = parse_containers(*elements);
        if (!parsed_containers) return std::unexpected(std::move(parsed_containers.error()));
        scenario.permission_containers = std::move(*parsed_containers);
    }
    auto deploy_mode = label_member<domain::DeployMode>(*root, kDeployMode, kDeployModeWord, deploy_mode_from_label);
    if (!deploy_mode) return std::unexpected(std::move(deploy_mode.error()));
    scenario.deploy_mode = *deploy_mode;

    const json::Value* is_final = json::find(*root, kDeployModeIsFinal);
    scenario.deploy_mode_is_final = is_final != nullptr && is_final->is_bool() && is_final->get_bool();

    auto screen = label_member<Screen>(*root, kScreen, kScreenWord, screen_from_label);
    if (!screen) return std::unexpected(std::move(screen.error()));
    scenario.screen = *screen;
    auto health =
        label_member<TargetHealthChoice>(*root, kTargetHealth, kTargetHealthWord, target_health_from_label);
    if (!health) return std::unexpected(std::move(health.error()));
    scenario.target_health = *health;
    return scenario;
}

std::string SessionScenario::to_json() const {
    json::Object root;
    root[kVersion] = json::Value(kScenarioFormatVersion);
    if (screen) root[kScreen] = string_value(label(*screen));
    root[kCapturedAt] = json::Value(captured_at);
    root[kSource] = endpoint_value(source);
    root[kTarget] = endpoint_value(target);
    root[kComparisonManifest] = manifest_value(comparison_manifest);
    if (deploy_selection) {
        ScenarioManifest grouped;
        for (const auto& key : *deploy_selection) grouped[key.metadata_type].insert(key.name);
        root[kDeploySelection] = manifest_value(grouped);
    }
    if (permissions_mode) root[kPermissionsMode] = string_value(domain::wire_id(*permissions_mode));
    if (apex_tests) {
        std::vector<std::string> sorted = *apex_tests;
        std::sort(sorted.begin(), sorted.end());
        json::Array array;
        for (const auto& name : sorted) array.emplace_back(json::String(name));
        root[kApexTests] = json::Value(std::move(array));
    }
    if (permission_containers) {
        json::Array array;
        for (const auto& [kind, api_name] : *permission_containers) {
            json::Object container;
            container[kKind] = string_value(domain::wire_id(kind));
            container[kApiName] = string_value(api_name);
            array.emplace_back(std::move(container));
        }
        root[kPermissionContainers] = json::Value(std::move(array));
    }
    if (deploy_mode) {
        root[kDeployMode] = string_value(domain::wire_id(*deploy_mode));
        root[kDeployModeIsFinal] = json::Value(deploy_mode_is_final);
    }
    if (target_health) root[kTargetHealth] = string_value(label(*target_health));
    std::string text = json::write_pretty(json::Value(std::move(root)));
    text.push_back('\n');
    return text;
}

ReadResult<SessionScenario> read_session_scenario_file(const std::filesystem::path& path) {
    auto bytes = platform_fs::files::read_regular_file(path, kMaxScenarioFileBytes, platform_fs::files::LinkPolicy::Followed);
    if (!bytes) {
        if (bytes.error() == std::errc::file_too_large) {
            return std::unexpected(SessionScenarioReadError{Kind::TooLarge, {}, {}});
        }
        std::string description = bytes.error() == std::errc::invalid_argument ? std::string("not a regular file")
                                                                               : bytes.error().message();
        return std::unexpected(SessionScenarioReadError{Kind::ReadFailure, std::move(description), {}});
    }
    if (auto valid = text::validate_utf8(*bytes); !valid) {
        return std::unexpected(SessionScenarioReadError{Kind::ReadFailure, valid.error().message(), {}});
    }
    return SessionScenario::from_json(*bytes);
}

}  // namespace ambrel::session_export

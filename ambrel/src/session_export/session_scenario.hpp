#pragma once

// Session scenario files: where the user stands in the guided workflow (endpoints, the members to
// compare, the deploy selection, the permission and deploy choices, the chosen tests and containers,
// the screen), kept so that the same comparison and choices can be set up again later. This unit
// holds the in-memory `SessionScenario`, its reader (`read_session_scenario_file`,
// `SessionScenario::from_json`) and its writer (`SessionScenario::to_json`, pretty JSON with a final
// line feed, always format version 4). Versions 1 to 4 are read alike. It never touches the controller
// and never writes files: the caller writes the text.
//
// Failures of reading are one `SessionScenarioReadError`, whose message is one of:
// "Could not read the session scenario file: {}", "The session scenario file is too large (limit 5
// MB).", "Could not parse the session scenario file: {}", "The session scenario file root must be a JSON
// object.", "Unsupported session scenario format version {} (supported versions: 1, 2, 3 and 4).", "The
// session scenario file has an invalid "{}" field." and "Unknown {} "{}" in the session scenario file.".
// The file is read with a bound (never more than one byte over the limit), only when it is a regular
// file, and through the JSON kit's nesting limit; the readers never recurse beyond the document's own
// fixed shape. Record-data types are refused in a manifest, so the session export leaves them out.
//
// Thread-safety: plain values and pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "json/json.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::session_export {

// Files larger than this are refused without being read whole.
inline constexpr std::size_t kMaxScenarioFileBytes = 5'242'880;
// The version every file is written as; versions 1 to it are read.
inline constexpr std::int64_t kScenarioFormatVersion = 4;
inline constexpr std::int64_t kOldestScenarioFormatVersion = 1;

// The screens a session can be exported from, in order.
enum class Screen : std::uint8_t { Selecting, Reviewing, SelectingTests, SelectingFlsContainers, Results };
// How the target health screen was answered, in order.
enum class TargetHealthChoice : std::uint8_t { FixAndDeploy, DeployWithoutFixing, DeployAfterRecheck };

// "SELECTING", "REVIEWING", "SELECTING_TESTS", "SELECTING_FLS_CONTAINERS", "RESULTS".
std::string_view label(Screen screen) noexcept;
// "fixAndDeploy", "deployWithoutFixing", "deployAfterRecheck".
std::string_view label(TargetHealthChoice choice) noexcept;
// Whole-text lookups, letter case included; nothing for a text that is no label.
std::optional<Screen> screen_from_label(std::string_view text) noexcept;
std::optional<domain::FlsMode> permissions_mode_from_label(std::string_view text) noexcept;
std::optional<domain::DeployMode> deploy_mode_from_label(std::string_view text) noexcept;
std::optional<TargetHealthChoice> target_health_from_label(std::string_view text) noexcept;

// An endpoint as the file names it: an org by alias, or a repository folder name and branch (which
// identify a git endpoint in messages only).
struct ScenarioEndpoint {
    struct Org {
        std::string alias;
        bool operator==(const Org&) const = default;
    };
    struct Git {
        std::string repository;
        std::string branch;
        bool operator==(const Git&) const = default;
    };
    std::variant<Org, Git> value;
    bool operator==(const ScenarioEndpoint&) const = default;
};

using ScenarioManifest = std::map<metadata_types::MetadataType, std::set<std::string>>;
using ScenarioContainers = std::set<std::pair<domain::FlsContainerKind, std::string>>;
using ScenarioSelection = std::set<domain::ComponentKey>;

// Why a scenario file could not be read.
struct SessionScenarioReadError {
    enum class Kind : std::uint8_t {
        ReadFailure,
        TooLarge,
        NotJson,
        RootNotObject,
        UnsupportedVersion,
        InvalidField,
        UnknownValue,
    };
    Kind kind = Kind::ReadFailure;
    // ReadFailure and NotJson: the description; UnsupportedVersion: "missing" or the value as compact
    // JSON; InvalidField: the member's key; UnknownValue: the kind word.
    std::string detail;
    // UnknownValue: the text that was not recognised.
    std::string value;

    std::string message() const;
    bool operator==(const SessionScenarioReadError&) const = default;
};

template <class T>
using ReadResult = std::expected<T, SessionScenarioReadError>;

struct SessionScenario {
    std::optional<Screen> screen;
    std::uint64_t captured_at = 0;
    std::optional<ScenarioEndpoint> source;
    std::optional<ScenarioEndpoint> target;
    ScenarioManifest comparison_manifest;
    std::optional<ScenarioSelection> deploy_selection;
    std::optional<domain::FlsMode> permissions_mode;
    // In the order read; duplicates kept.
    std::optional<std::vector<std::string>> apex_tests;
    std::optional<ScenarioContainers> permission_containers;
    std::optional<domain::DeployMode> deploy_mode;
    bool deploy_mode_is_final = false;
    std::optional<TargetHealthChoice> target_health;

    static ReadResult<SessionScenario> from_json(std::string_view text);
    // The file text: pretty JSON, members in file order, one line feed at the end.
    std::string to_json() const;

    bool operator==(const SessionScenario&) const = default;
};

// Reads and parses a file (a link is followed; what is not a regular file is a read failure).
ReadResult<SessionScenario> read_session_scenario_file(const std::filesystem::path& path);

// Readers of single members.
ReadResult<std::optional<ScenarioEndpoint>> parse_endpoint_field(const json::Value* value, std::string_view key);
ReadResult<ScenarioManifest> parse_manifest_value(const json::Value& value, std::string_view key);
ReadResult<ScenarioSelection> parse_selection_value(const json::Value& value);
ReadResult<std::vector<std::string>> parse_string_array(const json::Array& elements, std::string_view key);
ReadResult<ScenarioContainers> parse_containers(const json::Array& elements);

// Writers of single members.
json::Value endpoint_value(const std::optional<ScenarioEndpoint>& endpoint);
json::Value manifest_value(const ScenarioManifest& manifest);

}  // namespace ambrel::session_export

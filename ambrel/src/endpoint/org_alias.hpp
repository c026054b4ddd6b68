#pragma once

// One authenticated Salesforce org with an alias, as the CLI's org listing reports it. A plain
// value; the org catalogue builds and validates these rows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::endpoint {

// The array of the org listing that a row came from, in the order the arrays are read.
enum class OrgKind : std::uint8_t {
    NonScratch,  // "nonScratchOrgs"
    Scratch,     // "scratchOrgs"
    Sandbox,     // "sandboxes"
    DevHub,      // "devHubs"
    Other,       // "other"
};

// The name of the listing array that holds orgs of this kind, for example "nonScratchOrgs".
std::string_view listing_array_name(OrgKind kind) noexcept;

struct OrgAlias {
    std::string alias;     // kept exactly as listed (not trimmed); lookups compare it byte for byte
    std::string username;  // the CLI runs against the org through this
    std::string org_id;
    std::optional<std::string> instance_url;
    std::optional<std::string> connected_status;
    std::optional<std::string> instance_api_version;  // only a version number such as "62.0"
    OrgKind kind = OrgKind::NonScratch;

    bool operator==(const OrgAlias&) const = default;
};

}  // namespace ambrel::endpoint

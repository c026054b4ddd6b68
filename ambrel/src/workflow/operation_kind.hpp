#pragma once

// The kinds of workflow operations and their wire names, which the session log's operation lines and
// the active operation of a published state carry. Plain data; no failures.

#include <cstdint>
#include <string_view>

namespace ambrel::workflow {

// Code 0 is kept for "no operation", so the kinds start at 1.
enum class OperationKind : std::uint8_t {
    LoadOrgs = 1,
    LoadComponents,
    Compare,
    Deploy,
    QuickDeploy,
    MatchFls,
    ListApexTests,
    ImportManifest,
    Back,
    CreateOrgAlias,
    ImportSession,
    PrepareOrgs,
    CheckTargetHealth,
    FixTargetHealth,
};

// "loadOrgs", "loadComponents", "compare", …, "fixTargetHealth". The text is static.
std::string_view wire_name(OperationKind kind) noexcept;

}  // namespace ambrel::workflow

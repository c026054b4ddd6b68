#pragma once

// What a deploy is asked to do (mode, Apex tests) and what it reports per component, plus what a
// validated deploy leaves for a later quick deploy.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component_key.hpp"
#include "domain/difference.hpp"

namespace ambrel::domain {

// How a package is deployed, in this order.
enum class DeployMode : std::uint8_t {
    BestEffort,    // "BEST_EFFORT"
    ValidateOnly,  // "VALIDATE_ONLY"
    AllOrNothing,  // "ALL_OR_NOTHING"
};

std::string_view wire_id(DeployMode mode) noexcept;
std::optional<DeployMode> deploy_mode_from_wire_id(std::string_view text) noexcept;

// The outcome of one row of a deploy, in this order.
enum class ComponentDeploymentStatus : std::uint8_t {
    Succeeded,     // "SUCCEEDED"
    Failed,        // "FAILED"
    NotAttempted,  // "NOT_ATTEMPTED"
};

std::string_view wire_id(ComponentDeploymentStatus status) noexcept;
// "Succeeded", "Failed" or "NotAttempted", as details and logs write the status.
std::string_view name(ComponentDeploymentStatus status) noexcept;

struct ComponentDeploymentResult {
    ComponentKey key;
    std::string message;
    // The row's change kind.
    ChangeKind operation = ChangeKind::Add;
    ComponentDeploymentStatus status = ComponentDeploymentStatus::NotAttempted;

    bool operator==(const ComponentDeploymentResult&) const = default;
};

// What a successful validate-only deploy leaves for a later quick deploy.
struct QuickDeployTicket {
    std::string job_id;
    std::string target_org_alias;
    // The components the validated package holds (element rows of one layout count once).
    std::size_t component_count = 0;

    bool operator==(const QuickDeployTicket&) const = default;
};

// Where a test candidate was found.
enum class TestCandidateOrigin : std::uint8_t {
    Session,  // "SESSION": a class of the comparison
    Target,   // "TARGET": a class found in the target org
};

std::string_view wire_id(TestCandidateOrigin origin) noexcept;

// One Apex test class offered on the test screen.
struct ApexTestCandidate {
    std::string name;
    TestCandidateOrigin origin = TestCandidateOrigin::Session;
    bool preselected = false;

    bool operator==(const ApexTestCandidate&) const = default;
};

// The Apex tests chosen for a deploy; a deploy that carries one runs exactly these tests.
struct ApexTestConfig {
    // In the order chosen.
    std::vector<std::string> test_class_names;

    bool operator==(const ApexTestConfig&) const = default;
};

}  // namespace ambrel::domain

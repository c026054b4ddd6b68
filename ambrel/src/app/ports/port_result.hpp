#pragma once

// What every port of the application service answers, and the container shapes several port groups
// share. Ports report their failures as WorkflowFailure values.

#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "app/workflow_failure.hpp"
#include "domain/fls.hpp"

namespace ambrel::app::ports {

template <class T>
using PortResult = std::expected<T, WorkflowFailure>;

// A profile or permission set by kind and name.
using ContainerKey = std::pair<domain::FlsContainerKind, std::string>;
// The containers a deploy is limited to; none means all.
using ContainerSelection = std::optional<std::set<ContainerKey>>;
// Container documents by kind and name.
using ContainerDocuments = std::map<ContainerKey, std::string>;

}  // namespace ambrel::app::ports

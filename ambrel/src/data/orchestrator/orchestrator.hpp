#pragma once

// Org preparation: inspecting a source and a target org for keyed record transfer, and applying what
// the inspection found. Both reach the orgs only through `PreparationPorts`, strictly one call after
// another on the caller's thread; inspection never writes to an org.
//
// `inspect` describes the 33 registry objects in each org (polling the token before each describe),
// decides the key states, counts the records awaiting a key of every object keyable in both orgs
// (polling before each count) and returns the plan. `apply` inspects afresh, then for the source and
// then the target org creates the missing own fields (after looking up the signed-in user's profile)
// and fills the keys of every object keyable in both orgs, recording one outcome per object and side.
//
// Failures are texts: a describe, count or inspection failure ends the call with the catalogue
// error's display text; "Preparing the orgs was cancelled." when the token is cancelled at a poll
// point or the key fill reports a cancellation. Per-object failures of `apply` (profile lookup, field
// deploy, Id query, key fill) are Failed outcomes; "Every record already carries the external ID." is
// the message of a Skipped one.
//
// Thread-safety: no state; the token is the only object shared with other threads.

#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "data/preparation/key_decision.hpp"
#include "data/preparation/key_state.hpp"
#include "data/preparation/org_preparation_plan.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "data/preparation/preparation_ports.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::orchestrator {

using preparation::key_state_label;

inline constexpr std::string_view kCancelled = "Preparing the orgs was cancelled.";
inline constexpr std::string_view kAlreadyKeyed = "Every record already carries the external ID.";

using Outcomes = std::map<std::pair<std::string, preparation::PreparationSide>, preparation::PreparationOutcome>;

// "Preparing the orgs was cancelled."
std::string cancelled();

std::expected<preparation::OrgPreparationReport, std::string> inspect(preparation::PreparationPorts& ports,
                                                                      std::string_view source_alias,
                                                                      std::string_view target_alias,
                                                                      const domain::CancellationToken& cancel);

// The schemas of the registry objects the org has, by API name.
std::expected<preparation::SchemaMap, std::string> read_schemas(preparation::PreparationPorts& ports,
                                                                std::string_view org,
                                                                const domain::CancellationToken& cancel);

// One decision per plan row, in plan order.
std::vector<preparation::ObjectKeyDecision> decisions_of(const preparation::OrgPreparationPlan& plan);

std::expected<preparation::OrgPreparationReport, std::string> apply(preparation::PreparationPorts& ports,
                                                                    std::string_view source_alias,
                                                                    std::string_view target_alias,
                                                                    const domain::CancellationToken& cancel);

// The key step of one side: fills the keys of every decision keyable on both sides that has no outcome
// on this side yet, recording the outcome. Fails only with the cancellation text.
std::expected<void, std::string> fill_side_keys(preparation::PreparationPorts& ports,
                                                std::span<const preparation::ObjectKeyDecision> decisions,
                                                preparation::PreparationSide side, std::string_view alias,
                                                Outcomes& outcomes, const domain::CancellationToken& cancel);

}  // namespace ambrel::data::orchestrator

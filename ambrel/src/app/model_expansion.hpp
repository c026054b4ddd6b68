#pragma once

// ModelExpansion: what the deploy makes of its Constraint Model rows. Each model row that could be
// expanded travels as one ExpressionSetDefinition row (`rows`, with the entry in `models` under that
// row's key); each one that could not has a FAILED result in `failed`. After the package run
// `collapse` folds the definition results back onto the model rows: a result keyed by an expanded
// definition becomes the model row's result (the model's key and change kind, the status unchanged,
// the versions note followed by "Definition {} deployed." for a success or by the result's own message
// otherwise), and the failed results are appended. Plain data; never fails.

#include <map>
#include <string>
#include <vector>

#include "deployment/deployment_summary.hpp"
#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"

namespace ambrel::app {

// What the expansion keeps about one expanded model row.
struct ExpandedModel {
    domain::ComponentKey model;
    std::string note;
    // The model row's whole constraint model document, which the model transfer sends.
    std::string document;
    domain::ChangeKind change = domain::ChangeKind::Add;
    bool operator==(const ExpandedModel&) const = default;
};

struct ModelExpansion {
    std::vector<domain::ComponentDifference> rows;
    std::map<domain::ComponentKey, ExpandedModel> models;
    std::vector<domain::ComponentDeploymentResult> failed;

    deployment::DeploymentSummary collapse(deployment::DeploymentSummary summary) const;

    bool operator==(const ModelExpansion&) const = default;
};

// The versions note of one model: `travelling` versions go Inactive, `left_out` names stayed out.
std::string model_versions_note(std::size_t travelling, const std::vector<std::string>& left_out);

}  // namespace ambrel::app

#pragma once

// Which constraint models of one org tag which of the given product bundles: a model tags a bundle
// when one of its ExpressionSetConstraintObj rows points at the bundle's own product, one of its
// component groups, one of its related components or the child product of one of those components.
// The comparison widens its selection with the models found. Only reads, through
// `RecordChannels::describe` and `RecordChannels::query`, always to the given org with the given token.
//
// Only unpackaged models of usage type Constraint count (a definition with a namespace prefix never
// does), and only models and bundle names that are valid record row names; of several bundle
// products carrying one name (within one chunk of names) the one with the lowest id counts. Requests,
// in order: one describe of "ExpressionSet", one model query, one product query per kMaxInListValues
// names, a group and a component query per kMaxInListValues bundle products, one tag query per
// kMaxInListValues tagged-record ids; the cheap exits (no names, no ExpressionSet object, no model,
// no valid name) come before any product query.
//
// Failures: the first failing request ends the call with its `ChannelError`, unchanged (absent text:
// cancelled); nothing found so far is returned. Rows with missing, non-text or blank values are
// skipped without a message. Never polls the token itself. Thread-safety: the caller's thread only.

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::bundles::synthesis {

// Model API name → the bundle names it tags (as the org spells them, trimmed); only models that tag
// at least one bundle.
using TaggingModels = std::map<std::string, std::set<std::string>>;

ChannelResult<TaggingModels> tagging_models_for_bundles(RecordChannels& channels, std::string_view org,
                                                        const std::set<std::string>& bundle_names,
                                                        const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::synthesis

#pragma once

// Reads, from one org, every record that makes up the requested product bundles and sorts the records
// by the bundles they belong to: the bundle's own Product2 row, its component groups, its related
// components, the child products those components name, the selling model options and price book
// entries of the bundle and child products, and the constraint model tags of any of these. Rows are
// attached through an index of record ids that grows layer by layer; a row shared by several bundles is
// copied into each. Only `RecordChannels::query` is used, one query per layer and per chunk of at most
// kMaxInListValues values, in a fixed order.
//
// The only message is "Ambiguous product bundle name: {} ({} records in {})." (name, number of bundle
// rows carrying it, org label) for a name that several bundle products carry; the bundle is then read
// from the row with the lowest id. A row whose id came back for an earlier chunk of names is the same
// record matched again (names match regardless of letter case) and is ignored. Rows that cannot be
// attached are dropped without a word. The first failing query ends the read with its `ChannelError`,
// unchanged, and nothing read so far is returned.
//
// Never reads anything but the records named above, never polls the token itself (each query gets
// it), keeps nothing between calls. Thread-safety: the caller's thread only; no shared state.

#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/bundles/document/build.hpp"
#include "data/bundles/document/field_plan.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::synthesis {

// Filled with the bundle name, the number of rows carrying it and the org label.
inline constexpr std::string_view kAmbiguousBundleNameFormat = "Ambiguous product bundle name: {} ({} records in {}).";

// What one org holds of the requested bundles.
struct SideBundleReads {
    // Bundle name as the org returned it (trimmed) → its records; one entry per bundle found.
    std::map<std::string, document::BundleLayers> layers;
    // Bundle name → the ambiguity message, for names carried by several bundle products.
    std::map<std::string, std::string> ambiguity_messages;
};

// The bundles' records, each bundle's layers carrying a copy of `classifications` and of
// `model_names` (expression set id → constraint model name; no tag is read when it is empty).
// `bundle_names` must already be valid record row names.
ChannelResult<SideBundleReads> read_bundle_layers_for_side(
    RecordChannels& channels, std::string_view org, std::string_view label, const std::set<std::string>& bundle_names,
    std::span<const document::ObjectFieldPlan> plans, const std::vector<json::Object>& classifications,
    const std::map<std::string, std::string>& model_names, const domain::CancellationToken& token);

// The same read with every bundle's classifications left empty, for a caller that lends one shared
// list of classification rows to each bundle in turn instead of keeping a copy per bundle.
ChannelResult<SideBundleReads> read_bundle_layers_without_classifications(
    RecordChannels& channels, std::string_view org, std::string_view label, const std::set<std::string>& bundle_names,
    std::span<const document::ObjectFieldPlan> plans, const std::map<std::string, std::string>& model_names,
    const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::synthesis

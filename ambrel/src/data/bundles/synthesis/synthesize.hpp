#pragma once

// Reads the product bundles and constraint models of one comparison out of its source and target orgs
// and renders one record document per bundle (and model) and org, in memory, with the messages and the
// reasons why rows or whole types must not be deployed. Only reads, through `RecordChannels`.
//
// The order of work is fixed: nothing is sent when nothing is requested; bundle names that differ only
// in letter case are blocked rows; a Metadata API version below kMinimumRecordApiMajor blocks both
// types and sends nothing; the bundle objects, then the model objects, are described in both orgs (a
// missing object blocks its type); then the source side, then the target side: classifications,
// constraint-model expression sets, bundle documents (through `read_bundle_layers_without_classifications`)
// and the constraint-model documents of the side (the step handed in by the caller).
//
// Texts it produces, exactly:
// - "{} rows are blocked: {}" (type API name, reason) for every blocked type;
// - "Product bundles and constraint models need Metadata API 67.0 or later; this comparison runs on {}.";
// - "The object {} does not exist in {}." (object, org label), notes joined with "; ";
// - "<taggedBy> is empty: the object ExpressionSet does not exist in {}." (source label);
// - "{} is not a valid record row name and was skipped." (source side only);
// - the ambiguity reasons of identity::ambiguous_reason and of the bundle layer read.
//
// Failures: the first failing channel operation ends the call with its `ChannelError` unchanged (absent
// text: cancelled) and the outcome built so far is dropped. Row-level problems never fail the call.
//
// Never polls the token itself (every request gets it), keeps nothing between calls, reports no progress.
// Thread-safety: the caller's thread only; no shared state.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/bundles/document/field_plan.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/cancellation.hpp"
#include "domain/component_key.hpp"
#include "json/json.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::data::bundles::synthesis {

inline constexpr std::string_view kBlockedRowsFormat = "{} rows are blocked: {}";
// Filled with the required major and minor version and the comparison's version as given.
inline constexpr std::string_view kVersionGateFormat =
    "Product bundles and constraint models need Metadata API {}.{} or later; this comparison runs on {}.";
inline constexpr std::string_view kMissingObjectFormat = "The object {} does not exist in {}.";
inline constexpr std::string_view kNotesSeparator = "; ";
inline constexpr std::string_view kNoExpressionSetFormat =
    "<taggedBy> is empty: the object ExpressionSet does not exist in {}.";
inline constexpr std::string_view kInvalidRowNameFormat = "{} is not a valid record row name and was skipped.";
inline constexpr std::string_view kBundleNameWhat = "product bundle name";
inline constexpr std::string_view kGroupNameWhat = "product component group name";
inline constexpr std::string_view kComponentWhat = "product related component";
inline constexpr std::string_view kBundlePathFormat = "productBundles/{}.productBundle-meta.xml";
inline constexpr std::string_view kModelPathFormat = "constraintModels/{}.constraintModel-meta.xml";
inline constexpr std::string_view kExpressionSetQuery =
    "SELECT Id, Name, ApiName, ExpressionSetDefinition.NamespacePrefix FROM ExpressionSet "
    "WHERE UsageType = 'Constraint' ORDER BY ApiName";

// The objects a bundle document is read from, in the order they are described.
inline constexpr std::string_view kBundleObjects[] = {"Product2",
                                                      "ProductClassification",
                                                      "ProductComponentGroup",
                                                      "ProductRelatedComponent",
                                                      "ProductSellingModelOption",
                                                      "PricebookEntry"};

// One org's part of a synthesis.
struct SynthesisSide {
    // The org every request of this side goes to.
    std::string alias;
    // The org's name as messages show it.
    std::string label;
    // ExpressionSetDefinition name → its retrieved document.
    std::map<std::string, std::string> definition_documents;
    // ExpressionSetDefinitionVersion name → its retrieved document.
    std::map<std::string, std::string> version_documents;
};

struct SynthesisInput {
    SynthesisSide source;
    SynthesisSide target;
    std::set<std::string> bundle_names;
    // API names of the constraint models of the selection.
    std::set<std::string> model_names;
    // The comparison's Metadata API version, such as "67.0".
    std::string api_version;
};

struct SynthesisOutcome {
    std::vector<std::string> messages;
    // Relative path → document text.
    std::map<std::string, std::string> source_documents;
    std::map<std::string, std::string> target_documents;
    // Only ProductBundle and ConstraintModel occur.
    std::map<metadata_types::MetadataType, std::string> blocked_types;
    // Keys of type ProductBundle (bundle name) or ConstraintModel (model API name).
    std::map<domain::ComponentKey, std::string> blocked_rows;

    friend bool operator==(const SynthesisOutcome&, const SynthesisOutcome&) = default;
};

// What the constraint-model documents of one side read and where they go. Borrows everything.
struct ModelSideStep {
    RecordChannels& channels;
    const SynthesisSide& side;
    bool is_source;
    const std::set<std::string>& model_names;
    // Model API name → ExpressionSet id, the org's unpackaged constraint models.
    const std::map<std::string, std::string>& expression_sets_by_model;
    const domain::CancellationToken& token;
    // Messages (source side only) and blocked rows go here.
    SynthesisOutcome& outcome;
    // The side's documents by relative path; model documents are added here.
    std::map<std::string, std::string>& documents;
};

// The constraint-model step of one side; a failure ends the whole synthesis.
using ModelDocumentsStep = std::function<ChannelResult<void>(ModelSideStep& step)>;

ChannelResult<SynthesisOutcome> synthesize(RecordChannels& channels, const SynthesisInput& input,
                                           const domain::CancellationToken& token,
                                           const ModelDocumentsStep& model_documents);

// The synthesis with the standard constraint-model step (`read_model_documents`): its messages and
// documents join the side's, and its blocked rows replace earlier reasons of the same rows.
ChannelResult<SynthesisOutcome> synthesize(RecordChannels& channels, const SynthesisInput& input,
                                           const domain::CancellationToken& token);

// The standard constraint-model step of one side, as `synthesize` above runs it.
ChannelResult<void> standard_model_documents_step(ModelSideStep& step);

// Records that no row of the type can be deployed: the message "{} rows are blocked: {}" and the
// type's reason (replacing an earlier one).
void block_type(SynthesisOutcome& outcome, metadata_types::MetadataType type, std::string_view reason);

// The ambiguity of one source bundle: duplicated group names first, else duplicated component
// identities; none when every row can be told apart.
std::optional<std::string> ambiguity_in(std::span<const json::Object> groups, std::span<const json::Object> components);

}  // namespace ambrel::data::bundles::synthesis

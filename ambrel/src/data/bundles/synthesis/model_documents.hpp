#pragma once

// The constraint model documents of one org: for each requested model the org holds, its definition
// versions with their constraint model language (CML), its tags (ExpressionSetConstraintObj rows) with
// the record behind each tag named by natural names instead of org-specific Ids, rendered as one
// constraint model document under "constraintModels/{}.constraintModel-meta.xml". Runs once per side
// of a record document synthesis; it only reads, and only through `RecordChannels`.
//
// Requests, in this order: per model (requested order) its version query, then one CML read per
// version with an Id, then its tag query; then, for the referenced Ids of all models of the side in
// ascending order and chunks of kMaxRecordsPerRequest, four addressee queries per chunk (Product2,
// ProductClassification, ProductComponentGroup, ProductRelatedComponent).
//
// Failures: every failed request ends the step with its `ChannelError` (absent text: cancelled) and
// nothing of the side is kept. Row-level problems never fail it:
// - an invalid model name on the source side: the message "{} is not a valid record row name and was
//   skipped." (the target side drops it silently);
// - a CML answered as a JSON object: the blocked row (ConstraintModel, model) with "The constraint
//   model language of version {} of {} in {} came back as an object instead of text." (version, model,
//   side label), and no document of that model in this org;
// - rows without the members they need are left out without a message.
// The step never polls the token itself; each request receives it.
//
// Thread-safety: stateless functions; the channels are used from the calling thread only.

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/component_key.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::synthesis {

// The relative path of a model's document, filled with the model's API name.
inline constexpr std::string_view kModelDocumentPathFormat = "constraintModels/{}.constraintModel-meta.xml";

// Record Id → the (key, value) pairs naming that record: "product", "productBundle",
// "classification", "group", "childProduct", "childClassification".
using AddresseeAttributes = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

// What the step reads of one side. Borrows the documents, which must outlive the call.
struct ModelSide {
    std::string alias;
    // The org's name as messages show it.
    std::string label;
    // ExpressionSetDefinition name → retrieved document text.
    const std::map<std::string, std::string>& definition_documents;
    // ExpressionSetDefinitionVersion name → retrieved document text.
    const std::map<std::string, std::string>& version_documents;
    bool is_source = false;
};

// What the step adds to the synthesis of one side.
struct ModelDocumentsOutcome {
    // Source side only, in the order produced.
    std::vector<std::string> messages;
    // Relative path → document text.
    std::map<std::string, std::string> documents;
    // Keys of type ConstraintModel → reason.
    std::map<domain::ComponentKey, std::string> blocked_rows;

    friend bool operator==(const ModelDocumentsOutcome&, const ModelDocumentsOutcome&) = default;
};

// Reads and renders the documents of the requested models (ascending) that the side holds;
// `expression_sets` maps a model's API name to its ExpressionSet Id in this org.
ChannelResult<ModelDocumentsOutcome> read_model_documents(RecordChannels& channels, const ModelSide& side,
                                                          const std::set<std::string>& model_names,
                                                          const std::map<std::string, std::string>& expression_sets,
                                                          const domain::CancellationToken& token);

// One ExpressionSetConstraintObj row as a document tag: its type and tag (trimmed, else empty), a
// copy of the addressee pairs of its "ReferenceObjectId", or that Id as the unresolved marker when
// the reference names nothing. A row without a reference has neither.
document::ModelTag render_tag(const json::Object& row, const AddresseeAttributes& addressees);

}  // namespace ambrel::data::bundles::synthesis

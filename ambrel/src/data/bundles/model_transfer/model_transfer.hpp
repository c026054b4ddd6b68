#pragma once

// The constraint-model transfer after a deploy. The metadata deploy carries a model's definition and
// versions; its tags, the constraint model language (CML) of each version and which version is active
// do not travel with it. For each model (ascending name order) `transfer_models` finds the target's
// ExpressionSet, creates the missing tags (model_tags.hpp), writes the CML of every version whose
// target CML differs, activates the version the document marks active, and reports one outcome per
// model with a text made for people. Nothing is rolled back.
//
// Requests per model, each preceded by a poll of the token and counted on the model's `Channel` right
// before it is sent ("REST calls in this transfer"): the ExpressionSet query; the tag requests; the
// version listing, one CML read per listed document version and one write per differing CML; the
// activation query and at most two changes of version activity.
//
// Outcomes: a model is successful only when no note, no refused version and no skipped tag arose and
// its activation text is one of "No version is active in the source; …", "Activation skipped: the
// document marks {} versions active.", "Already active in the target." or "Activated in the target…";
// a failed, skipped or cancelled activation leaves the model unsuccessful. A version whose CML was
// refused is never activated: "Activation skipped: the CML of {} was not written; the target's
// activity was left as it is." A document that does not parse ("The Constraint Model document could
// not be read: {}.") or an ExpressionSet look-up that fails or does not find exactly one record costs
// only its own model. Cancellation before a model's activation makes its outcome the cancellation
// text; cancellation from then on makes every later model "The transfer was cancelled before this
// model's tags, CML and activation." `transfer_models` never fails.
//
// Thread-safety: stateless functions; everything runs on the calling thread, progress included.

#include <cstddef>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/model_transfer/model_tags.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "deployment/model_row_outcome.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::model_transfer {

inline constexpr std::string_view kCancelledBeforeModel =
    "The transfer was cancelled before this model's tags, CML and activation.";
inline constexpr std::string_view kCancelledDuringCml =
    "The transfer was cancelled during the CML; activation was not attempted.";
// At most this many entries of a named list are shown.
inline constexpr std::size_t kMaxNamedEntries = 10;

// The result for one model: name, report text, success.
using ModelOutcome = deployment::ModelRowOutcome;

// Called with each model's name before its transfer.
using Progress = std::function<void(std::string_view model)>;

// The outcome of every model, in the models' order (model name → constraint model document text).
std::vector<ModelOutcome> transfer_models(synthesis::RecordChannels& channels, std::string_view org,
                                          const std::map<std::string, std::string>& models, const Progress& progress,
                                          const domain::CancellationToken& token);

// The model's transfer stopped on cancellation before its activation step; no report.
struct TransferCancelled {
    std::string text;
    friend bool operator==(const TransferCancelled&, const TransferCancelled&) = default;
};
// The model's report; `stop` when cancellation was noticed in the activation step.
struct TransferDone {
    ModelOutcome outcome;
    bool stop = false;
    friend bool operator==(const TransferDone&, const TransferDone&) = default;
};
using TransferOneResult = std::variant<TransferCancelled, TransferDone>;

TransferOneResult transfer_one(synthesis::RecordChannels& channels, std::string_view org, std::string_view model,
                               std::string_view document_text, const domain::CancellationToken& token);

struct CmlSummary {
    // (version name, reason), in document version order.
    NamedReasons refused;
    std::size_t written = 0;
    std::size_t unchanged = 0;

    friend bool operator==(const CmlSummary&, const CmlSummary&) = default;
};

// The CML of the document's versions into the target, or the cancellation text as the error.
std::expected<CmlSummary, std::string> transfer_cml(synthesis::RecordChannels& channels, std::string_view org,
                                                    std::string_view model,
                                                    const std::vector<document::ModelVersion>& versions,
                                                    Channel& channel, const domain::CancellationToken& token);

// One ExpressionSetVersion of the target.
struct RuntimeVersion {
    std::string id;
    std::string api_name;
    bool is_active = false;

    friend bool operator==(const RuntimeVersion&, const RuntimeVersion&) = default;
};

// A row with non-blank string "Id" and "ApiName" (trimmed) and a boolean "IsActive"; none otherwise.
std::optional<RuntimeVersion> runtime_version(const json::Object& row);

// DeveloperName → Id of the rows whose two members are non-blank strings (trimmed); a later row
// replaces an earlier one of the same name.
std::map<std::string, std::string> version_map(const std::vector<json::Object>& rows);

struct Activation {
    std::string text;
    // Cancellation was noticed: every later model is cancelled.
    bool stop = false;
    // The document's activity is in the target, or there was nothing to do.
    bool succeeded = false;

    friend bool operator==(const Activation&, const Activation&) = default;
};

// Activates the document's one active version in the target, after the CML step `cml`.
Activation activate(synthesis::RecordChannels& channels, std::string_view org, std::string_view model,
                    const document::ModelDocument& document, const CmlSummary& cml, Channel& channel,
                    const domain::CancellationToken& token);

// The first kMaxNamedEntries pairs as "{} → {}" joined with "; ", then "; and {} more" when more.
std::string named_list(const NamedReasons& pairs);

// The body of a CML write: {"ConstraintModel":"<Base64 of the bytes>"}, compact.
std::string cml_patch_body(std::string_view bytes);

std::string cancelled_during_cml();

}  // namespace ambrel::data::bundles::model_transfer

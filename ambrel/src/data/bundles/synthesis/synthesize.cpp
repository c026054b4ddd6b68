#include "data/bundles/synthesis/synthesize.hpp"

#include <utility>

#include <fmt/format.h>

#include "data/bundles/document/build.hpp"
#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/bundle_layers.hpp"
#include "data/bundles/synthesis/model_documents.hpp"
#include "data/bundles/synthesis/query_text.hpp"
#include "data/bundles/synthesis/versions.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::data::bundles::synthesis {

namespace {

using metadata_types::MetadataType;

constexpr std::string_view kClassificationQueryFormat = "SELECT {} FROM ProductClassification ORDER BY Code";
constexpr std::string_view kProductClassification = "ProductClassification";
const std::vector<std::string> kClassificationExtras{"ParentProductClassification.Code"};
constexpr std::string_view kExpressionSet = "ExpressionSet";
constexpr std::string_view kExpressionSetConstraintObj = "ExpressionSetConstraintObj";
// The minor version named by the version gate's reason.
constexpr int kMinimumRecordApiMinor = 0;

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += separator;
        joined += part;
    }
    return joined;
}

// The org's unpackaged constraint models, both ways.
struct ExpressionSets {
    // ExpressionSet id → model API name.
    std::map<std::string, std::string> names_by_id;
    // Model API name → ExpressionSet id.
    std::map<std::string, std::string> ids_by_name;
};

// One run of the side steps; borrows the call's state.
struct Synthesis {
    RecordChannels& channels;
    const SynthesisInput& input;
    const domain::CancellationToken& token;
    const ModelDocumentsStep& model_documents;
    SynthesisOutcome outcome;
    std::vector<document::ObjectFieldPlan> plans;

    bool blocked(MetadataType type) const { return outcome.blocked_types.contains(type); }

    // Describes every object of `objects` in the source and then the target; fills the field plans
    // when asked. Notes a missing object of the source, else of the target.
    ChannelResult<std::vector<std::string>> describe_both(std::span<const std::string_view> objects, bool make_plans,
                                                          bool note_target_when_source_missing) {
        std::vector<std::string> notes;
        for (const std::string_view object : objects) {
            auto source = channels.describe(input.source.alias, object, token);
            if (!source) return std::unexpected(std::move(source.error()));
            auto target = channels.describe(input.target.alias, object, token);
            if (!target) return std::unexpected(std::move(target.error()));
            if (!*source) notes.push_back(fmt::format(kMissingObjectFormat, object, input.source.label));
            if (!*target && (*source || note_target_when_source_missing)) {
                notes.push_back(fmt::format(kMissingObjectFormat, object, input.target.label));
            }
            if (make_plans && *source && *target) {
                plans.push_back(document::ObjectFieldPlan::intersect(object, **source, **target));
            }
        }
        return notes;
    }

    ChannelResult<void> run_side(const SynthesisSide& side, bool is_source) {
        std::map<std::string, std::string> documents;

        std::vector<json::Object> classifications;
        if (!input.bundle_names.empty() && !blocked(MetadataType::ProductBundle)) {
            const std::string soql =
                fmt::format(kClassificationQueryFormat, select_list(plans, kProductClassification, kClassificationExtras));
            auto rows = channels.query(side.alias, soql, token);
            if (!rows) return std::unexpected(std::move(rows.error()));
            classifications = std::move(*rows);
        }

        ExpressionSets sets;
        if (!blocked(MetadataType::ConstraintModel)) {
            auto read = read_expression_sets(side, is_source, sets);
            if (!read) return read;
        }

        if (!blocked(MetadataType::ProductBundle)) {
            auto written = write_bundle_documents(side, is_source, classifications, sets.names_by_id, documents);
            if (!written) return written;
        }

        if (!blocked(MetadataType::ConstraintModel)) {
            ModelSideStep step{channels, side,    is_source, input.model_names, sets.ids_by_name,
                               token,    outcome, documents};
            auto written = model_documents(step);
            if (!written) return written;
        }

        (is_source ? outcome.source_documents : outcome.target_documents) = std::move(documents);
        return {};
    }

    ChannelResult<void> read_expression_sets(const SynthesisSide& side, bool is_source, ExpressionSets& sets) {
        if (input.model_names.empty()) {
            auto schema = channels.describe(side.alias, kExpressionSet, token);
            if (!schema) return std::unexpected(std::move(schema.error()));
            if (!*schema) {
                if (is_source) outcome.messages.push_back(fmt::format(kNoExpressionSetFormat, side.label));
                return {};
            }
        }
        auto rows = channels.query(side.alias, kExpressionSetQuery, token);
        if (!rows) return std::unexpected(std::move(rows.error()));
        for (const json::Object& row : *rows) {
            auto id = identity::record_id(row);
            auto name = identity::normalized_member(row, "ApiName");
            if (!id || !name) continue;
            // A model of an installed package is never compared.
            if (identity::lookup(row, "ExpressionSetDefinition", "NamespacePrefix")) continue;
            sets.names_by_id.insert_or_assign(*id, *name);
            sets.ids_by_name.insert_or_assign(std::move(*name), std::move(*id));
        }
        return {};
    }

    ChannelResult<void> write_bundle_documents(const SynthesisSide& side, bool is_source,
                                               std::vector<json::Object>& classifications,
                                               const std::map<std::string, std::string>& model_names,
                                               std::map<std::string, std::string>& documents) {
        std::set<std::string> valid;
        for (const std::string& name : input.bundle_names) {
            if (metadata_types::is_valid_record_row_name(name)) {
                valid.insert(name);
            } else if (is_source) {
                outcome.messages.push_back(fmt::format(kInvalidRowNameFormat, name));
            }
        }
        auto reads = read_bundle_layers_without_classifications(channels, side.alias, side.label, valid, plans,
                                                                model_names, token);
        if (!reads) return std::unexpected(std::move(reads.error()));

        for (const std::string& name : valid) {
            const auto found = reads->layers.find(name);
            if (found == reads->layers.end()) continue;
            document::BundleLayers& layers = found->second;
            const domain::ComponentKey key{MetadataType::ProductBundle, name};
            if (const auto message = reads->ambiguity_messages.find(name); message != reads->ambiguity_messages.end()) {
                if (auto row = outcome.blocked_rows.find(key); row != outcome.blocked_rows.end()) {
                    row->second += kNotesSeparator;
                    row->second += message->second;
                } else {
                    outcome.blocked_rows.emplace(key, message->second);
                }
            } else if (is_source) {
                if (auto reason = ambiguity_in(layers.groups, layers.components)) {
                    outcome.blocked_rows.insert_or_assign(key, std::move(*reason));
                }
            }
            // The side's classification rows are lent to each bundle in turn instead of copied.
            layers.classifications.swap(classifications);
            const auto built = document::build_bundle_document(layers, plans);
            layers.classifications.swap(classifications);
            if (built) documents.insert_or_assign(fmt::format(kBundlePathFormat, name), document::write_bundle_document(*built));
        }
        return {};
    }
};

}  // namespace

void block_type(SynthesisOutcome& outcome, MetadataType type, std::string_view reason) {
    outcome.messages.push_back(fmt::format(kBlockedRowsFormat, type.wire_id(), reason));
    outcome.blocked_types.insert_or_assign(type, std::string(reason));
}

std::optional<std::string> ambiguity_in(std::span<const json::Object> groups, std::span<const json::Object> components) {
    std::vector<std::string> group_names;
    for (const json::Object& row : groups) {
        if (auto name = identity::normalized_member(row, "Name")) group_names.push_back(std::move(*name));
    }
    if (const auto duplicated = identity::duplicate_identities(group_names); !duplicated.empty()) {
        return identity::ambiguous_reason(kGroupNameWhat, duplicated);
    }
    std::vector<std::string> labels;
    for (const json::Object& row : components) {
        if (const auto component = identity::ComponentIdentity::of(row)) labels.push_back(component->label());
    }
    if (const auto duplicated = identity::duplicate_identities(labels); !duplicated.empty()) {
        return identity::ambiguous_reason(kComponentWhat, duplicated);
    }
    return std::nullopt;
}

ChannelResult<SynthesisOutcome> synthesize(RecordChannels& channels, const SynthesisInput& input,
                                           const domain::CancellationToken& token,
                                           const ModelDocumentsStep& model_documents) {
    if (input.bundle_names.empty() && input.model_names.empty()) return SynthesisOutcome{};
    Synthesis run{channels, input, token, model_documents, {}, {}};
    SynthesisOutcome& outcome = run.outcome;

    const std::vector<std::string> names(input.bundle_names.begin(), input.bundle_names.end());
    const std::vector<std::string> colliding = identity::case_insensitive_collisions(names);
    if (!colliding.empty()) {
        const std::string reason = identity::ambiguous_reason(kBundleNameWhat, colliding);
        for (const std::string& name : colliding) {
            outcome.blocked_rows.insert_or_assign(domain::ComponentKey{MetadataType::ProductBundle, name}, reason);
        }
    }

    if (!api_version_is_supported(input.api_version)) {
        const std::string reason =
            fmt::format(kVersionGateFormat, kMinimumRecordApiMajor, kMinimumRecordApiMinor, input.api_version);
        block_type(outcome, MetadataType::ProductBundle, reason);
        block_type(outcome, MetadataType::ConstraintModel, reason);
        return std::move(outcome);
    }

    if (!input.bundle_names.empty()) {
        auto notes = run.describe_both(kBundleObjects, true, false);
        if (!notes) return std::unexpected(std::move(notes.error()));
        if (!notes->empty()) block_type(outcome, MetadataType::ProductBundle, join(*notes, kNotesSeparator));
    }
    if (!input.model_names.empty()) {
        static constexpr std::string_view kModelObjects[] = {kExpressionSet, kExpressionSetConstraintObj};
        auto notes = run.describe_both(kModelObjects, false, true);
        if (!notes) return std::unexpected(std::move(notes.error()));
        if (!notes->empty()) block_type(outcome, MetadataType::ConstraintModel, join(*notes, kNotesSeparator));
    }

    if (auto side = run.run_side(input.source, true); !side) return std::unexpected(std::move(side.error()));
    if (auto side = run.run_side(input.target, false); !side) return std::unexpected(std::move(side.error()));
    return std::move(outcome);
}

ChannelResult<void> standard_model_documents_step(ModelSideStep& step) {
    const ModelSide side{step.side.alias, step.side.label, step.side.definition_documents,
                         step.side.version_documents, step.is_source};
    auto read = read_model_documents(step.channels, side, step.model_names, step.expression_sets_by_model, step.token);
    if (!read) return std::unexpected(std::move(read.error()));
    for (std::string& message : read->messages) step.outcome.messages.push_back(std::move(message));
    for (auto& [path, document] : read->documents) step.documents.insert_or_assign(path, std::move(document));
    for (auto& [key, reason] : read->blocked_rows) step.outcome.blocked_rows.insert_or_assign(key, std::move(reason));
    return {};
}

ChannelResult<SynthesisOutcome> synthesize(RecordChannels& channels, const SynthesisInput& input,
                                           const domain::CancellationToken& token) {
    return synthesize(channels, input, token, ModelDocumentsStep{&standard_model_documents_step});
}

}  // namespace ambrel::data::bundles::synthesis

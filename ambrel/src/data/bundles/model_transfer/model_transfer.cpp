#include "data/bundles/model_transfer/model_transfer.hpp"

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/query_text.hpp"

namespace ambrel::data::bundles::model_transfer {

namespace {

using synthesis::ChannelError;

constexpr std::string_view kExpressionSetQueryFormat =
    "SELECT Id FROM ExpressionSet WHERE ApiName = '{}' AND UsageType = 'Constraint'";
constexpr std::string_view kVersionListQueryFormat =
    "SELECT Id, DeveloperName FROM ExpressionSetDefinitionVersion WHERE ExpressionSetDefinition.DeveloperName = '{}'";
constexpr std::string_view kActivationQueryFormat =
    "SELECT Id, ApiName, IsActive FROM ExpressionSetVersion WHERE ExpressionSet.ApiName = '{}'";

constexpr std::string_view kUnreadableDocumentFormat = "The Constraint Model document could not be read: {}.";
constexpr std::string_view kEndedEarlyFormat = "{} REST calls in this transfer: {}.";
constexpr std::string_view kExpressionSetFailedFormat =
    "The target's ExpressionSet for {} could not be read: {}; tags, CML and activation were not attempted.";
constexpr std::string_view kNoExpressionSetFormat =
    "The target lists no ExpressionSet for {} after the deploy; tags, CML and activation were not attempted.";
constexpr std::string_view kManyExpressionSetsFormat =
    "The target lists {} ExpressionSet records for {} after the deploy; tags, CML and activation were not "
    "attempted.";

constexpr std::string_view kCancelledAfterTags =
    "The transfer was cancelled after the tags; CML and activation were not attempted.";
constexpr std::string_view kVersionsNotListedReason = "the target's versions could not be listed";
constexpr std::string_view kVersionMissingFormat = "version {} is not in the target after the deploy";

constexpr std::string_view kNoActiveVersion =
    "No version is active in the source; the target's activity was left as it is.";
constexpr std::string_view kManyActiveFormat = "Activation skipped: the document marks {} versions active.";
constexpr std::string_view kCmlNotWrittenFormat =
    "Activation skipped: the CML of {} was not written; the target's activity was left as it is.";
constexpr std::string_view kCancelledAfterCml =
    "The transfer was cancelled after the CML; activation was not attempted.";
constexpr std::string_view kVersionsUnreadableFormat = "Activation skipped: the target's versions could not be read ({}).";
constexpr std::string_view kTargetLacksVersionWhileActiveFormat =
    "Activation skipped: the target lists no {} after the deploy; {} is still active.";
constexpr std::string_view kTargetLacksVersionFormat = "Activation skipped: the target lists no {} after the deploy.";
constexpr std::string_view kAlreadyActive = "Already active in the target.";
constexpr std::string_view kCancelledStillActiveFormat = "Activation cancelled: {} is still active.";
constexpr std::string_view kCancelledNoneActivatedFormat = "Activation cancelled: no version of {} was activated.";
constexpr std::string_view kCancelledAfterDeactivationFormat =
    "Activation cancelled after {} was deactivated; no version of {} is active now — activate one in Setup.";
constexpr std::string_view kDeactivationFailedFormat =
    "Activation failed: {} could not be deactivated ({}); {} is still active.";
constexpr std::string_view kActivationFailedFormat =
    "Activation failed: {} could not be activated ({}); no version of {} is active now — activate one in Setup.";
constexpr std::string_view kActivatedReplacingFormat = "Activated in the target; {} deactivated.";
constexpr std::string_view kActivated = "Activated in the target.";

constexpr std::string_view kTagsPartFormat =
    "Tags: {} created, {} already present, {} without addressee in the target{}, {} skipped{}.";
constexpr std::string_view kCmlPartFormat = "CML: {} written, {} unchanged, {} refused{}.";
constexpr std::string_view kCallsPartFormat = "REST calls in this transfer: {}.";

constexpr std::string_view kCmlBodyMember = "ConstraintModel";
constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string message_of(const ChannelError& error) { return error.message.value_or(std::string()); }

// " ({})" with the named list, or nothing for no pairs.
std::string list_part(const NamedReasons& pairs) {
    return pairs.empty() ? std::string() : fmt::format(" ({})", named_list(pairs));
}

std::string report(const TagsSummary& tags, const CmlSummary& cml, std::string_view activation,
                   const Channel& channel) {
    std::vector<std::string> parts{
        fmt::format(kTagsPartFormat, tags.created, tags.already_present, tags.without_addressee.size(),
                    list_part(tags.without_addressee), tags.skipped.size(), list_part(tags.skipped)),
        fmt::format(kCmlPartFormat, cml.written, cml.unchanged, cml.refused.size(), list_part(cml.refused)),
        std::string(activation),
        fmt::format(kCallsPartFormat, channel.rest_calls),
    };
    parts.insert(parts.end(), channel.notes.begin(), channel.notes.end());
    return fmt::format("{}", fmt::join(parts, " "));
}

}  // namespace

std::string cancelled_during_cml() { return std::string(kCancelledDuringCml); }

std::string named_list(const NamedReasons& pairs) {
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < std::min(pairs.size(), kMaxNamedEntries); ++i) {
        shown.push_back(fmt::format("{} → {}", pairs[i].first, pairs[i].second));
    }
    std::string joined = fmt::format("{}", fmt::join(shown, "; "));
    if (pairs.size() > kMaxNamedEntries) return fmt::format("{}; and {} more", joined, pairs.size() - kMaxNamedEntries);
    return joined;
}

std::string cml_patch_body(std::string_view bytes) {
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group <<= 8U;
            if (j < count) group |= static_cast<unsigned char>(bytes[i + j]);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            encoded.push_back(j <= count ? kBase64Alphabet[(group >> (18U - 6U * j)) & 0x3FU] : '=');
        }
    }
    json::Object body;
    body[kCmlBodyMember] = encoded;
    return json::write_compact(body);
}

std::optional<RuntimeVersion> runtime_version(const json::Object& row) {
    auto id = identity::record_id(row);
    auto api_name = identity::normalized_member(row, "ApiName");
    const auto active = json::get_bool(row, "IsActive");
    if (!id || !api_name || !active) return std::nullopt;
    return RuntimeVersion{std::move(*id), std::move(*api_name), *active};
}

std::map<std::string, std::string> version_map(const std::vector<json::Object>& rows) {
    std::map<std::string, std::string> versions;
    for (const json::Object& row : rows) {
        auto name = identity::normalized_member(row, "DeveloperName");
        auto id = identity::record_id(row);
        if (name && id) versions[std::move(*name)] = std::move(*id);
    }
    return versions;
}

std::expected<CmlSummary, std::string> transfer_cml(synthesis::RecordChannels& channels, std::string_view org,
                                                    std::string_view model,
                                                    const std::vector<document::ModelVersion>& versions,
                                                    Channel& channel, const domain::CancellationToken& token) {
    CmlSummary summary;
    if (versions.empty()) return summary;
    if (token.is_cancelled()) return std::unexpected(std::string(kCancelledAfterTags));
    ++channel.rest_calls;
    auto rows = channels.query(org, fmt::format(kVersionListQueryFormat, synthesis::soql_quote(model)), token);
    if (!rows) {
        if (rows.error().is_cancelled()) return std::unexpected(std::string(kCancelledAfterTags));
        for (const document::ModelVersion& version : versions) {
            summary.refused.emplace_back(version.name, std::string(kVersionsNotListedReason));
        }
        channel.notes.push_back(message_of(rows.error()));
        return summary;
    }
    const auto target = version_map(*rows);
    for (const document::ModelVersion& version : versions) {
        const auto found = target.find(version.name);
        if (found == target.end()) {
            summary.refused.emplace_back(version.name, fmt::format(kVersionMissingFormat, version.name));
            continue;
        }
        if (token.is_cancelled()) return std::unexpected(cancelled_during_cml());
        ++channel.rest_calls;
        auto current = channels.read_cml(org, found->second, token);
        if (!current) {
            if (current.error().is_cancelled()) return std::unexpected(cancelled_during_cml());
            summary.refused.emplace_back(version.name, message_of(current.error()));
            continue;
        }
        if (*current && **current == version.constraint_model) {
            ++summary.unchanged;
            continue;
        }
        if (token.is_cancelled()) return std::unexpected(cancelled_during_cml());
        ++channel.rest_calls;
        auto written = channels.write_cml(org, found->second, version.constraint_model, token);
        if (!written) {
            if (written.error().is_cancelled()) return std::unexpected(cancelled_during_cml());
            summary.refused.emplace_back(version.name, message_of(written.error()));
            continue;
        }
        ++summary.written;
    }
    return summary;
}

Activation activate(synthesis::RecordChannels& channels, std::string_view org, std::string_view model,
                    const document::ModelDocument& document, const CmlSummary& cml, Channel& channel,
                    const domain::CancellationToken& token) {
    const auto active = document.active_version_names();
    if (active.empty()) return Activation{std::string(kNoActiveVersion), false, true};
    if (active.size() > 1) return Activation{fmt::format(kManyActiveFormat, active.size()), false, true};
    const std::string_view wanted = active.front();
    // Activating a version whose CML did not reach the target would run a stale or empty model.
    if (std::ranges::any_of(cml.refused, [&](const auto& pair) { return pair.first == wanted; })) {
        return Activation{fmt::format(kCmlNotWrittenFormat, wanted), false, false};
    }

    const Activation cancelled_after_cml{std::string(kCancelledAfterCml), true, false};
    if (token.is_cancelled()) return cancelled_after_cml;
    ++channel.rest_calls;
    auto rows = channels.query(org, fmt::format(kActivationQueryFormat, synthesis::soql_quote(model)), token);
    if (!rows) {
        if (rows.error().is_cancelled()) return cancelled_after_cml;
        return Activation{fmt::format(kVersionsUnreadableFormat, message_of(rows.error())), false, false};
    }
    std::vector<RuntimeVersion> versions;
    for (const json::Object& row : *rows) {
        if (auto version = runtime_version(row)) versions.push_back(std::move(*version));
    }
    const auto current = std::ranges::find_if(versions, [](const RuntimeVersion& v) { return v.is_active; });
    const auto target = std::ranges::find_if(versions, [&](const RuntimeVersion& v) { return v.api_name == wanted; });
    const bool has_current = current != versions.end();

    if (target == versions.end()) {
        return Activation{has_current ? fmt::format(kTargetLacksVersionWhileActiveFormat, wanted, current->api_name)
                                      : fmt::format(kTargetLacksVersionFormat, wanted),
                          false, false};
    }
    if (target->is_active) return Activation{std::string(kAlreadyActive), false, true};
    if (token.is_cancelled()) {
        return Activation{has_current ? fmt::format(kCancelledStillActiveFormat, current->api_name)
                                      : fmt::format(kCancelledNoneActivatedFormat, model),
                          true, false};
    }
    if (has_current) {
        const Activation cancelled_after_deactivation{
            fmt::format(kCancelledAfterDeactivationFormat, current->api_name, model), true, false};
        ++channel.rest_calls;
        auto deactivated = channels.set_version_active(org, current->id, false, token);
        if (!deactivated) {
            if (deactivated.error().is_cancelled()) return cancelled_after_deactivation;
            return Activation{fmt::format(kDeactivationFailedFormat, current->api_name, message_of(deactivated.error()),
                                          current->api_name),
                              false, false};
        }
        if (token.is_cancelled()) return cancelled_after_deactivation;
    }
    ++channel.rest_calls;
    auto activated = channels.set_version_active(org, target->id, true, token);
    if (!activated) {
        if (activated.error().is_cancelled()) {
            return Activation{has_current ? fmt::format(kCancelledAfterDeactivationFormat, current->api_name, model)
                                          : fmt::format(kCancelledNoneActivatedFormat, model),
                              true, false};
        }
        return Activation{fmt::format(kActivationFailedFormat, wanted, message_of(activated.error()), model), false,
                          false};
    }
    return Activation{has_current ? fmt::format(kActivatedReplacingFormat, current->api_name) : std::string(kActivated),
                      false, true};
}

TransferOneResult transfer_one(synthesis::RecordChannels& channels, std::string_view org, std::string_view model,
                               std::string_view document_text, const domain::CancellationToken& token) {
    const std::string name(model);
    auto document = document::parse_model_document(document_text);
    if (!document) {
        return TransferDone{ModelOutcome{name, fmt::format(kUnreadableDocumentFormat, document.error().message()), false},
                            false};
    }
    Channel channel;
    if (token.is_cancelled()) return TransferCancelled{std::string(kCancelledBeforeModel)};

    ++channel.rest_calls;
    auto rows = channels.query(org, fmt::format(kExpressionSetQueryFormat, synthesis::soql_quote(model)), token);
    if (!rows && rows.error().is_cancelled()) return TransferCancelled{std::string(kCancelledBeforeModel)};
    std::vector<std::string> ids;
    if (rows) {
        for (const json::Object& row : *rows) {
            if (auto id = identity::record_id(row)) ids.push_back(std::move(*id));
        }
    }
    if (!rows || ids.size() != 1) {
        const std::string problem = !rows        ? fmt::format(kExpressionSetFailedFormat, name, message_of(rows.error()))
                                    : ids.empty() ? fmt::format(kNoExpressionSetFormat, name)
                                                  : fmt::format(kManyExpressionSetsFormat, ids.size(), name);
        return TransferDone{ModelOutcome{name, fmt::format(kEndedEarlyFormat, problem, channel.rest_calls), false},
                            false};
    }

    auto tags = transfer_tags(channels, org, ids.front(), document->tags, channel, token);
    if (!tags) return TransferCancelled{std::move(tags.error())};
    auto cml = transfer_cml(channels, org, model, document->versions, channel, token);
    if (!cml) return TransferCancelled{std::move(cml.error())};
    const Activation activation = activate(channels, org, model, *document, *cml, channel, token);

    const bool success = channel.notes.empty() && cml->refused.empty() && tags->skipped.empty() &&
                         activation.succeeded;
    return TransferDone{ModelOutcome{name, report(*tags, *cml, activation.text, channel), success}, activation.stop};
}

std::vector<ModelOutcome> transfer_models(synthesis::RecordChannels& channels, std::string_view org,
                                          const std::map<std::string, std::string>& models, const Progress& progress,
                                          const domain::CancellationToken& token) {
    std::vector<ModelOutcome> outcomes;
    bool stop = false;
    for (const auto& [name, text] : models) {
        if (stop || token.is_cancelled()) {
            outcomes.push_back(ModelOutcome{name, std::string(kCancelledBeforeModel), false});
            stop = true;
            continue;
        }
        if (progress) progress(name);
        auto result = transfer_one(channels, org, name, text, token);
        if (auto* cancelled = std::get_if<TransferCancelled>(&result)) {
            outcomes.push_back(ModelOutcome{name, std::move(cancelled->text), false});
            stop = true;
        } else {
            auto& done = std::get<TransferDone>(result);
            outcomes.push_back(std::move(done.outcome));
            stop = done.stop;
        }
    }
    return outcomes;
}

}  // namespace ambrel::data::bundles::model_transfer

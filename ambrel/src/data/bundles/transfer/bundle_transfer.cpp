#include "data/bundles/transfer/bundle_transfer.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/org_reads.hpp"
#include "data/bundles/transfer/planning.hpp"
#include "data/bundles/transfer/side_reads.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using synthesis::ChannelError;
using synthesis::CompositeMethod;
using synthesis::CompositeOutcome;

// A record on its way to the target with the body built when it was decided.
struct Send {
    const PlannedRecord* record;
    json::Object body;
};

// Everything a transfer has read before its first write.
struct Reads {
    TransferSchemas schemas;
    TargetCatalogs catalogs;
    SideRecords source;
    SideRecords target;
    KeyIndex index;
};

ChannelResult<Reads> read_orgs(synthesis::RecordChannels& channels, const app::ports::RecordDeployRequest& request,
                               const TransferPlan& plan, const domain::CancellationToken& token) {
    const Progress quiet = [](std::string_view) {};
    Reads reads;
    auto schemas = read_schemas(channels, request.source_org, request.source_label, request.target_org,
                                request.target_label, quiet, token);
    if (!schemas) {
        return std::unexpected(schemas.error());
    }
    reads.schemas = std::move(*schemas);
    auto catalogs = read_catalogs(channels, request.target_org, request.target_label, quiet, token);
    if (!catalogs) {
        return std::unexpected(catalogs.error());
    }
    reads.catalogs = std::move(*catalogs);
    auto source = read_side(channels, request.source_org, request.source_label, Side::Source, plan, reads.schemas,
                            quiet, token);
    if (!source) {
        return std::unexpected(source.error());
    }
    reads.source = std::move(*source);
    auto target = read_side(channels, request.target_org, request.target_label, Side::Target, plan, reads.schemas,
                            quiet, token);
    if (!target) {
        return std::unexpected(target.error());
    }
    reads.target = std::move(*target);
    reads.index = index_by_key_value(reads.target, reads.schemas);
    const auto candidates = key_candidates_by_layer(reads.schemas.keys, reads.source);
    auto by_key = read_target_by_key(channels, request.target_org, request.target_label, plan.records, reads.schemas,
                                     candidates, quiet, token);
    if (!by_key) {
        return std::unexpected(by_key.error());
    }
    merge_key_index(reads.index, std::move(*by_key));
    return reads;
}

// The walk over the batches: decisions, requests and what they leave behind.
class Transfer {
public:
    Transfer(synthesis::RecordChannels& channels, const app::ports::RecordDeployRequest& request, const Reads& reads,
             const domain::CancellationToken& token)
        : channels_(channels), request_(request), reads_(reads), token_(token) {}

    // False when the transfer was cancelled.
    bool run_batch(const std::vector<std::reference_wrapper<const PlannedRecord>>& batch) {
        std::vector<Send> creates;
        std::vector<Send> updates;
        for (const PlannedRecord& record : batch) {
            decide_one(record, creates, updates);
        }
        return send(CompositeMethod::Create, creates) && send(CompositeMethod::Update, updates);
    }

    const RecordOutcomes& outcomes() const noexcept { return outcomes_; }
    const RecordNotes& notes() const noexcept { return notes_; }
    std::uint64_t rest_calls() const noexcept { return rest_calls_; }

private:
    void fail(const PlannedRecord& record, std::string message) {
        outcomes_.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Failed{std::move(message)}});
    }

    void note(const PlannedRecord& record, const std::vector<std::string>& fields_left_out, const LinkNotes& links) {
        if (!fields_left_out.empty()) {
            notes_.fields_left_out.insert_or_assign(record.key, fields_left_out);
        }
        if (!links.repointed.empty() || !links.left_out.empty()) {
            notes_.links.insert_or_assign(record.key, links);
        }
    }

    void decide_one(const PlannedRecord& record, std::vector<Send>& creates, std::vector<Send>& updates) {
        auto decision = decide(record, reads_.schemas, reads_.source, reads_.target, reads_.index, target_ids_,
                               reads_.catalogs);
        if (std::holds_alternative<Decision::Create>(decision.value)) {
            if (const auto blocker = blocked_by_predecessor(record, target_ids_, reads_.catalogs)) {
                fail(record, blocker->reason());
                return;
            }
            creates.push_back(Send{&record, composite_body(record, record.fields, std::nullopt, target_ids_,
                                                           reads_.catalogs, reads_.schemas, reads_.source)});
        } else if (auto* update = std::get_if<Decision::Update>(&decision.value)) {
            auto body = composite_body(record, update->changes, update->id, target_ids_, reads_.catalogs,
                                       reads_.schemas, reads_.source);
            target_ids_.insert_or_assign(record.key, update->id);
            note(record, update->fields_left_out, update->link_notes);
            updates.push_back(Send{&record, std::move(body)});
        } else if (auto* unchanged = std::get_if<Decision::Unchanged>(&decision.value)) {
            target_ids_.insert_or_assign(record.key, unchanged->id);
            outcomes_.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Unchanged{}});
            note(record, unchanged->fields_left_out, unchanged->link_notes);
        } else if (auto* skip = std::get_if<Decision::Skip>(&decision.value)) {
            fail(record, std::move(skip->reason));
        } else {
            // The copy's Id stays unknown, so records that link to it are held back later.
            fail(record, std::move(std::get<Decision::NotSent>(decision.value).reason));
        }
    }

    // False when the transfer was cancelled.
    bool send(CompositeMethod method, const std::vector<Send>& list) {
        for (std::size_t start = 0; start < list.size(); start += synthesis::kMaxRecordsPerRequest) {
            const auto count = std::min(synthesis::kMaxRecordsPerRequest, list.size() - start);
            if (token_.is_cancelled()) {
                return false;
            }
            std::vector<json::Object> bodies;
            bodies.reserve(count);
            for (std::size_t i = start; i < start + count; ++i) {
                bodies.push_back(list[i].body);
            }
            auto answer = channels_.composite(request_.target_org, method, bodies, token_);
            if (!answer && answer.error().is_cancelled()) {
                return false;
            }
            ++rest_calls_;
            const std::span<const Send> chunk(list.data() + start, count);
            if (!answer) {
                for (const auto& item : chunk) {
                    fail(*item.record, *answer.error().message);
                }
                continue;
            }
            if (answer->size() != count) {
                // A channel that breaks its promise of one outcome per body is not read at all.
                const auto message = fmt::format(
                    fmt::runtime(kUnexpectedBody),
                    fmt::format(fmt::runtime(synthesis::kOutcomeCountReasonFormat), answer->size(), count));
                for (const auto& item : chunk) {
                    fail(*item.record, message);
                }
                continue;
            }
            add_rollback_note(*answer);
            for (std::size_t i = 0; i < count; ++i) {
                record_outcome(method, *chunk[i].record, (*answer)[i]);
            }
        }
        return true;
    }

    static void add_rollback_note(std::vector<CompositeOutcome>& outcomes) {
        if (outcomes.size() < 2) {
            return;
        }
        const bool all_rolled_back = std::all_of(outcomes.begin(), outcomes.end(), [](const CompositeOutcome& o) {
            return !o.success && !o.errors.empty() && o.errors.front().status_code == kRollbackCode;
        });
        if (!all_rolled_back) {
            return;
        }
        const auto note = fmt::format(fmt::runtime(kRollbackNote), outcomes.size());
        for (auto& outcome : outcomes) {
            outcome.errors.front().message += note;
        }
    }

    void record_outcome(CompositeMethod method, const PlannedRecord& record, const CompositeOutcome& outcome) {
        if (!outcome.success) {
            if (outcome.errors.empty()) {
                fail(record, std::string(kRefusedWithoutReason));
            } else {
                fail(record, fmt::format("{}: {}", outcome.errors.front().status_code, outcome.errors.front().message));
            }
            return;
        }
        if (method == CompositeMethod::Update) {
            outcomes_.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Updated{}});
            return;
        }
        // A blank Id would be written into the references of later records: treat it as none.
        if (!outcome.id || text::is_blank(*outcome.id)) {
            fail(record, std::string(kAcceptedWithoutId));
            return;
        }
        target_ids_.insert_or_assign(record.key, *outcome.id);
        outcomes_.insert_or_assign(record.key, RecordOutcome{RecordOutcome::Created{}});
    }

    synthesis::RecordChannels& channels_;
    const app::ports::RecordDeployRequest& request_;
    const Reads& reads_;
    const domain::CancellationToken& token_;
    TargetIds target_ids_;
    RecordOutcomes outcomes_;
    RecordNotes notes_;
    std::uint64_t rest_calls_ = 0;
};

std::vector<RowOutcome> values_of(RowOutcomes rows) {
    std::vector<RowOutcome> result;
    result.reserve(rows.size());
    for (auto& [name, row] : rows) {
        result.push_back(std::move(row));
    }
    return result;
}

}  // namespace

synthesis::ChannelResult<std::vector<RowOutcome>> transfer_bundles(synthesis::RecordChannels& channels,
                                                                   const app::ports::RecordDeployRequest& request,
                                                                   const std::function<void(std::string_view)>& progress,
                                                                   const domain::CancellationToken& token) {
    const auto plan = plan_transfer(request.documents);
    RowOutcomes rows;
    for (const auto& error : plan.errors) {
        rows.insert_or_assign(error.name,
                              RowOutcome{error.name, fmt::format(fmt::runtime(kUnreadableDocument), error.message),
                                         false});
    }
    if (plan.records.empty()) {
        return values_of(std::move(rows));
    }
    auto reads = read_orgs(channels, request, plan, token);
    if (!reads) {
        return std::unexpected(reads.error());
    }
    Transfer transfer(channels, request, *reads, token);
    for (const auto& [batch, records] : plan.sublayers()) {
        progress(layer_object(batch.first));
        if (!transfer.run_batch(records)) {
            return std::unexpected(ChannelError::cancelled());
        }
    }
    summarize(request.documents, plan.records, reads->schemas, transfer.outcomes(), transfer.notes(),
              transfer.rest_calls(), rows);
    return values_of(std::move(rows));
}

}  // namespace ambrel::data::bundles::transfer

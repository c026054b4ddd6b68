#include "data/bundles/transfer/health_check.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <set>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/decision.hpp"
#include "data/bundles/transfer/org_reads.hpp"
#include "data/bundles/transfer/planning.hpp"
#include "data/bundles/transfer/record_views.hpp"
#include "data/bundles/transfer/side_reads.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

// Steps that do not depend on the plan: 12 describes, 3 catalogue reads and the tag count.
constexpr std::uint64_t kFixedSteps = 16;
// Reads per layer: the source side, the target side and the target by key.
constexpr std::uint64_t kStepsPerLayer = 3;

constexpr std::string_view kTagCountQuery =
    "SELECT ReferenceObjectId, COUNT(Id) tagCount FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN ({}) "
    "GROUP BY ReferenceObjectId";
constexpr std::string_view kTagReference = "ReferenceObjectId";
constexpr std::string_view kTagCountMember = "tagCount";
// The name an aggregate column gets when the query gives it no alias.
constexpr std::string_view kUnaliasedCountMember = "expr0";

constexpr std::string_view kTagsLabel = "constraint model tags of {}";
// The target Id a record to create stands under until the transfer creates it, so that records
// linking to it count as sendable.
constexpr std::string_view kPlannedId = "<planned>";

constexpr std::string_view kParentFix =
    "No automatic fix: deleting this record would take its own children with it, and it may hold data outside the "
    "Revenue Cloud configuration; fix or delete it in the target by hand.";
constexpr std::string_view kBlockedFix =
    "No automatic fix: the deploy could not create it anew — {}; fix the reference in the source or the target by "
    "hand.";
constexpr std::string_view kDeleteAdvice =
    "Delete it in the target; the deploy then creates it anew from the source, under a new Id.";
constexpr std::string_view kTagsUnknownFix =
    "{} The number of constraint model tags addressing it in the target is unknown; any such tag is deleted with the "
    "record.";
constexpr std::string_view kNoTagFix = "{} No constraint model tag in the target addresses it.";
constexpr std::string_view kOneTagFix =
    "{} 1 constraint model tag in the target addresses it and is deleted with it; deploy the model that carries it "
    "in the same run to recreate it.";
constexpr std::string_view kTagsFix =
    "{} {} constraint model tags in the target address it and are deleted with it; deploy the models that carry "
    "them in the same run to recreate them.";
constexpr std::string_view kDuplicateFix =
    "No automatic fix: pick the right record and remove or rename the other in the target by hand; this deploy "
    "refuses the row.";
constexpr std::string_view kMissingCatalogProblem = "{}; blocks {} records of {} bundles";
constexpr std::string_view kMissingCatalogFix =
    "No automatic fix: the plugin never creates a relationship type, a selling model or a price book; create it in "
    "the target by hand.";

// A JSON integer of at least 0.
std::optional<std::uint64_t> whole_count(const json::Value& value) {
    if (value.is_uint64()) {
        return value.get_uint64();
    }
    if (value.is_int64() && value.get_int64() >= 0) {
        return static_cast<std::uint64_t>(value.get_int64());
    }
    return std::nullopt;
}

// Only records of these layers may be deleted: the others carry children or data beyond the bundle.
bool deletable(Layer layer) noexcept {
    return layer == Layer::ProductRelatedComponent || layer == Layer::ProductSellingModelOption ||
           layer == Layer::PricebookEntry;
}

std::string_view catalog_object(const CatalogRef& ref) noexcept {
    switch (ref.value().index()) {
    case 0: return "ProductRelationshipType";
    case 1: return "ProductSellingModel";
    default: return "Pricebook2";
    }
}

std::vector<std::string> bundle_list(const std::set<std::string>& bundles) {
    return {bundles.begin(), bundles.end()};
}

struct NotSentEntry {
    const PlannedRecord* record;
    std::string id;
    std::string problem;
    std::optional<Blocker> blocker;
};

struct AmbiguousEntry {
    const PlannedRecord* record;
    std::string reason;
    std::vector<std::string> ids;
};

// The dry run over the plan's decisions: what each decision means for the health report. Borrows the
// plan's records, which must outlive it.
class HealthWalk {
public:
    explicit HealthWalk(const TargetCatalogs& catalogs) : catalogs_(catalogs) {}

    const TargetIds& target_ids() const noexcept { return target_ids_; }

    void take(const PlannedRecord& record, Decision decision) {
        std::visit([&](auto& verdict) { take(record, verdict); }, decision.value);
    }

    // The fixable candidates whose tags are worth counting, in finding order.
    std::vector<std::string> deletable_ids() const {
        std::vector<std::string> ids;
        for (const auto& entry : not_sent_) {
            if (deletable(entry.record->layer()) && !entry.blocker) {
                ids.push_back(entry.id);
            }
        }
        return ids;
    }

    HealthReport report(const ConstraintTagCounts& tags) const {
        HealthReport report;
        report.dependents = dependents_;
        for (const auto& entry : not_sent_) {
            report.findings.push_back(unfixable(entry, tags));
        }
        for (const auto& entry : ambiguous_) {
            Finding finding = about(*entry.record, FindingKind::Duplicate);
            finding.problem = entry.reason;
            finding.fix = std::string(kDuplicateFix);
            finding.record_ids = entry.ids;
            std::ranges::sort(finding.record_ids);
            report.findings.push_back(std::move(finding));
        }
        for (const auto& [ref, records] : missing_catalogs_) {
            std::set<std::string> bundles;
            for (const auto* record : records) {
                bundles.insert(record->bundles.begin(), record->bundles.end());
            }
            Finding finding;
            finding.kind = FindingKind::MissingCatalog;
            finding.object = std::string(catalog_object(ref));
            finding.label = ref.label();
            finding.problem = fmt::format(fmt::runtime(kMissingCatalogProblem), ref.missing_reason(), records.size(),
                                          bundles.size());
            finding.bundles = bundle_list(bundles);
            finding.fix = std::string(kMissingCatalogFix);
            finding.layer = records.front()->layer();
            report.findings.push_back(std::move(finding));
        }
        return report;
    }

private:
    void take(const PlannedRecord& record, const Decision::Create&) {
        auto blocker = blocked_by_predecessor(record, target_ids_, catalogs_);
        if (!blocker) {
            remember(record.key, std::string(kPlannedId));
            return;
        }
        if (const auto* ref = std::get_if<CatalogRef>(&blocker->value)) {
            blocked_keys_.insert(record.key);
            missing_catalogs_[*ref].push_back(&record);
            return;
        }
        const auto& predecessor = std::get<RecordKey>(blocker->value);
        if (blocked_keys_.contains(predecessor) || dependent_keys_.contains(predecessor)) {
            dependent_keys_.insert(record.key);
            ++dependents_;
        }
        // A predecessor held back for another reason (gone from the source, a missing field) is the
        // transfer's own row report, not a finding of the target.
    }
    void take(const PlannedRecord& record, const Decision::Update& update) {
        remember(record.key, update.id);
    }
    void take(const PlannedRecord& record, const Decision::Unchanged& unchanged) {
        remember(record.key, unchanged.id);
    }
    void take(const PlannedRecord& record, Decision::Skip& skip) {
        if (skip.kind != SkipKind::Ambiguous) {
            return;
        }
        blocked_keys_.insert(record.key);
        ambiguous_.push_back(AmbiguousEntry{&record, std::move(skip.reason), std::move(skip.ids)});
    }
    void take(const PlannedRecord& record, Decision::NotSent& not_sent) {
        // Whether the deploy could create the record anew once its target copy is gone.
        auto blocker = blocked_by_predecessor(record, target_ids_, catalogs_);
        blocked_keys_.insert(record.key);
        not_sent_.push_back(
            NotSentEntry{&record, std::move(not_sent.id), std::move(not_sent.problem), std::move(blocker)});
    }

    // Records come in plan order, mostly ascending by key, so the end is tried first.
    void remember(const RecordKey& key, std::string id) {
        target_ids_.insert_or_assign(target_ids_.end(), key, std::move(id));
    }

    static Finding about(const PlannedRecord& record, FindingKind kind) {
        Finding finding;
        finding.kind = kind;
        finding.object = std::string(layer_object(record.layer()));
        finding.label = record.key.label();
        finding.bundles = bundle_list(record.bundles);
        finding.layer = record.layer();
        return finding;
    }

    static Finding unfixable(const NotSentEntry& entry, const ConstraintTagCounts& tags) {
        Finding finding = about(*entry.record, FindingKind::Unfixable);
        finding.problem = entry.problem;
        if (!deletable(entry.record->layer())) {
            finding.fix = std::string(kParentFix);
            return finding;
        }
        if (entry.blocker) {
            finding.fix = fmt::format(fmt::runtime(kBlockedFix), entry.blocker->reason());
            return finding;
        }
        finding.fixable = true;
        finding.record_ids = {entry.id};
        finding.delete_id = entry.id;
        finding.fix = tag_advice(entry.id, tags);
        return finding;
    }

    static std::string tag_advice(const std::string& id, const ConstraintTagCounts& tags) {
        if (tags.status != ConstraintTagCounts::Status::Known) {
            return fmt::format(fmt::runtime(kTagsUnknownFix), kDeleteAdvice);
        }
        const auto found = tags.counts.find(id);
        const std::uint64_t count = found == tags.counts.end() ? 0 : found->second;
        if (count == 0) {
            return fmt::format(fmt::runtime(kNoTagFix), kDeleteAdvice);
        }
        if (count == 1) {
            return fmt::format(fmt::runtime(kOneTagFix), kDeleteAdvice);
        }
        return fmt::format(fmt::runtime(kTagsFix), kDeleteAdvice, count);
    }

    const TargetCatalogs& catalogs_;
    TargetIds target_ids_;
    std::set<RecordKey> blocked_keys_;
    std::set<RecordKey> dependent_keys_;
    std::map<CatalogRef, std::vector<const PlannedRecord*>> missing_catalogs_;
    std::vector<NotSentEntry> not_sent_;
    std::vector<AmbiguousEntry> ambiguous_;
    std::uint64_t dependents_ = 0;
};

}  // namespace

std::uint32_t health_step_total(std::uint64_t layers) noexcept {
    constexpr std::uint64_t kCap = std::numeric_limits<std::uint32_t>::max();
    if (layers > (kCap - kFixedSteps) / kStepsPerLayer) {
        return static_cast<std::uint32_t>(kCap);
    }
    return static_cast<std::uint32_t>(kStepsPerLayer * layers + kFixedSteps);
}

synthesis::ChannelResult<HealthReport> plan_health(synthesis::RecordChannels& channels,
                                                   const app::ports::RecordDeployRequest& request,
                                                   const HealthProgress& progress,
                                                   const domain::CancellationToken& token) {
    const TransferPlan plan = plan_transfer(request.documents);
    if (plan.records.empty()) {
        return HealthReport{};
    }
    const std::uint32_t total = health_step_total(plan_layers(plan.records).size());
    std::uint32_t step = 0;
    const Progress report_step = [&](std::string_view label) {
        step = step == std::numeric_limits<std::uint32_t>::max() ? step : step + 1;
        progress(HealthStep{std::string(label), step, total});
    };
    const auto& source_alias = request.source_org;
    const auto& target_alias = request.target_org;

    auto schemas = read_schemas(channels, source_alias, request.source_label, target_alias, request.target_label,
                                report_step, token);
    if (!schemas) {
        return std::unexpected(schemas.error());
    }
    auto catalogs = read_catalogs(channels, target_alias, request.target_label, report_step, token);
    if (!catalogs) {
        return std::unexpected(catalogs.error());
    }
    // The decisions use only the Id and key value of a source record.
    auto source = read_side(channels, source_alias, request.source_label, Side::Source, plan, *schemas, report_step,
                            token, SideDetail::IdentityOnly);
    if (!source) {
        return std::unexpected(source.error());
    }
    auto target = read_side(channels, target_alias, request.target_label, Side::Target, plan, *schemas, report_step,
                            token);
    if (!target) {
        return std::unexpected(target.error());
    }
    KeyIndex key_index = index_by_key_value(*target, *schemas);
    const KeyCandidates candidates = key_candidates_by_layer(schemas->keys, *source);
    auto by_key = read_target_by_key(channels, target_alias, request.target_label, plan.records, *schemas, candidates,
                                     report_step, token);
    if (!by_key) {
        return std::unexpected(by_key.error());
    }
    merge_key_index(key_index, std::move(*by_key));

    HealthWalk walk(*catalogs);
    for (const auto& [batch, records] : plan.sublayers()) {
        for (const PlannedRecord& record : records) {
            walk.take(record, decide(record, *schemas, *source, *target, key_index, walk.target_ids(), *catalogs));
        }
    }

    report_step(fmt::format(fmt::runtime(kTagsLabel), request.target_label));
    const auto ids = walk.deletable_ids();
    const auto tags = constraint_tag_counts(channels, target_alias, ids, token);
    if (tags.status == ConstraintTagCounts::Status::Cancelled) {
        return std::unexpected(ChannelError::cancelled());
    }
    return walk.report(tags);
}

ConstraintTagCounts constraint_tag_counts(synthesis::RecordChannels& channels, std::string_view target_alias,
                                          std::span<const std::string> ids, const domain::CancellationToken& token) {
    using Status = ConstraintTagCounts::Status;
    ConstraintTagCounts result;
    for (std::size_t start = 0; start < ids.size(); start += synthesis::kMaxRecordsPerRequest) {
        const auto chunk = ids.subspan(start, std::min(synthesis::kMaxRecordsPerRequest, ids.size() - start));
        auto rows = channels.query(target_alias, fmt::format(fmt::runtime(kTagCountQuery), quoted_list(chunk)), token);
        if (!rows) {
            // The count only colours advice texts, so a failed query leaves it unknown.
            return ConstraintTagCounts{rows.error().is_cancelled() ? Status::Cancelled : Status::Unknown, {}};
        }
        for (const auto& row : *rows) {
            auto id = read_field(row, kTagReference);
            if (!id) {
                continue;
            }
            const auto* count = row.if_contains(kTagCountMember);
            if (count == nullptr) {
                count = row.if_contains(kUnaliasedCountMember);
            }
            const auto tags = count == nullptr ? std::nullopt : whole_count(*count);
            if (!tags) {
                return ConstraintTagCounts{Status::Unknown, {}};
            }
            result.counts[std::move(*id)] += *tags;
        }
    }
    return result;
}

}  // namespace ambrel::data::bundles::transfer

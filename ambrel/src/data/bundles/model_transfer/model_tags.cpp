#include "data/bundles/model_transfer/model_tags.hpp"

#include <algorithm>
#include <span>
#include <tuple>

#include <fmt/format.h>

#include "data/bundles/synthesis/query_text.hpp"
#include "support/programming_error.hpp"

namespace ambrel::data::bundles::model_transfer {

namespace {

using synthesis::ChannelError;
using synthesis::kMaxRecordsPerRequest;

constexpr std::string_view kProductQueryFormat = "SELECT Id, Name FROM Product2 WHERE Name IN ({})";
constexpr std::string_view kClassificationQueryFormat =
    "SELECT Id, Code FROM ProductClassification WHERE Code IN ({})";
constexpr std::string_view kGroupQueryFormat =
    "SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE ParentProduct.Name IN ({})";
constexpr std::string_view kComponentQueryFormat =
    "SELECT Id, ParentProduct.Name, ProductComponentGroup.Name, ChildProduct.Name, ChildProductClassification.Code "
    "FROM ProductRelatedComponent WHERE ParentProduct.Name IN ({})";
constexpr std::string_view kExistingTagsQueryFormat =
    "SELECT ReferenceObjectId, ConstraintModelTag, ConstraintModelTagType FROM ExpressionSetConstraintObj WHERE "
    "ExpressionSetId = '{}'";

constexpr std::string_view kTagObject = "ExpressionSetConstraintObj";

constexpr std::string_view kUnresolvedReason = "unresolved in the source";
constexpr std::string_view kUnrecognizedReason = "unrecognized addressee";
constexpr std::string_view kNotSentReason = "not sent";
constexpr std::string_view kAmbiguousReasonFormat = "ambiguous {} {} in the target";
constexpr std::string_view kRefusedWithoutReason = "the target refused the record without naming a reason";

constexpr std::string_view kProductBundleKey = "productBundle";
constexpr std::string_view kGroupKey = "group";
constexpr std::string_view kChildProductKey = "childProduct";
constexpr std::string_view kChildClassificationKey = "childClassification";
constexpr std::string_view kClassificationKey = "classification";
constexpr std::string_view kProductKey = "product";

std::string label_of(const document::ModelTag& tag) { return fmt::format("{} {}", tag.tag_type, tag.tag); }

const std::string* first_attribute(const document::ModelTag& tag, std::string_view key) {
    const auto found = std::ranges::find_if(tag.attributes, [&](const auto& pair) { return pair.first == key; });
    return found == tag.attributes.end() ? nullptr : &found->second;
}

std::optional<Addressee> product_row(const json::Object& row) {
    auto name = identity::normalized_member(row, "Name");
    if (!name) return std::nullopt;
    return Addressee(Addressee::Product{std::move(*name)});
}

std::optional<Addressee> classification_row(const json::Object& row) {
    auto code = identity::normalized_member(row, "Code");
    if (!code) return std::nullopt;
    return Addressee(Addressee::Classification{std::move(*code)});
}

std::optional<Addressee> group_row(const json::Object& row) {
    auto product = identity::lookup(row, "ParentProduct", "Name");
    auto name = identity::normalized_member(row, "Name");
    if (!product || !name) return std::nullopt;
    return Addressee(Addressee::Group{std::move(*product), std::move(*name)});
}

std::optional<Addressee> component_row(const json::Object& row) {
    auto product = identity::lookup(row, "ParentProduct", "Name");
    auto component = identity::ComponentIdentity::of(row);
    if (!product || !component) return std::nullopt;
    return Addressee(Addressee::Component{std::move(*product), std::move(component->group),
                                          ComponentChild{component->kind, std::move(component->child)}});
}

// The name queries, in the order they are sent; `kind` is the addressee's variant index.
struct KindQuery {
    std::size_t kind;
    std::string_view format;
    std::optional<Addressee> (*addressee)(const json::Object&);
};
constexpr KindQuery kKindQueries[] = {
    {0, kProductQueryFormat, product_row},
    {1, kClassificationQueryFormat, classification_row},
    {2, kGroupQueryFormat, group_row},
    {3, kComponentQueryFormat, component_row},
};

using Triple = std::tuple<std::string, std::string, std::string>;

std::optional<Triple> existing_triple(const json::Object& row) {
    auto id = identity::normalized_member(row, "ReferenceObjectId");
    auto tag = identity::normalized_member(row, "ConstraintModelTag");
    auto type = identity::normalized_member(row, "ConstraintModelTagType");
    if (!id || !tag || !type) return std::nullopt;
    return Triple{std::move(*id), std::move(*tag), std::move(*type)};
}

json::Object tag_record(std::string_view expression_set_id, std::string_view reference_id,
                        const document::ModelTag& tag) {
    json::Object record;
    json::Object attributes;
    attributes["type"] = kTagObject;
    record["attributes"] = std::move(attributes);
    record["ExpressionSetId"] = expression_set_id;
    record["ReferenceObjectId"] = reference_id;
    record["ConstraintModelTag"] = tag.tag;
    record["ConstraintModelTagType"] = tag.tag_type;
    return record;
}

// Every tag with an addressee becomes "not sent", the failure a note.
void not_sent(const std::vector<const document::ModelTag*>& addressed, const ChannelError& error, Channel& channel,
              TagsSummary& summary) {
    for (const document::ModelTag* tag : addressed) {
        summary.skipped.emplace_back(label_of(*tag), std::string(kNotSentReason));
    }
    channel.notes.push_back(error.message.value_or(std::string()));
}

}  // namespace

std::string cancelled_during_tags() { return std::string(kCancelledDuringTags); }

std::string_view Addressee::kind_word() const noexcept {
    switch (value_.index()) {
        case 0: return "product";
        case 1: return "classification";
        case 2: return "group";
        default: return "component";
    }
}

const std::string& Addressee::look_up_name() const noexcept {
    return std::visit(
        [](const auto& value) -> const std::string& {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Product>) {
                return value.name;
            } else if constexpr (std::is_same_v<T, Classification>) {
                return value.code;
            } else {
                return value.product;
            }
        },
        value_);
}

std::string Addressee::identity() const {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Product>) {
                return value.name;
            } else if constexpr (std::is_same_v<T, Classification>) {
                return value.code;
            } else if constexpr (std::is_same_v<T, Group>) {
                return fmt::format("{} / {}", value.product, value.group);
            } else if (value.group) {
                return fmt::format("{} / {} / {}", value.product, *value.group, value.child.name);
            } else {
                return fmt::format("{} / {}", value.product, value.child.name);
            }
        },
        value_);
}

std::optional<Addressee> addressee_of(const document::ModelTag& tag) {
    if (tag.unresolved) return std::nullopt;
    const std::string* bundle = first_attribute(tag, kProductBundleKey);
    const std::string* group = first_attribute(tag, kGroupKey);
    const std::string* child_product = first_attribute(tag, kChildProductKey);
    const std::string* child_classification = first_attribute(tag, kChildClassificationKey);
    const std::string* classification = first_attribute(tag, kClassificationKey);
    const std::string* product = first_attribute(tag, kProductKey);

    // Both children, or neither, name no child.
    std::optional<ComponentChild> child;
    if (child_product != nullptr && child_classification == nullptr) {
        child = ComponentChild{identity::ComponentChildKind::Product, *child_product};
    } else if (child_classification != nullptr && child_product == nullptr) {
        child = ComponentChild{identity::ComponentChildKind::Classification, *child_classification};
    }

    if (bundle != nullptr && child) {
        return Addressee(Addressee::Component{
            *bundle, group != nullptr ? std::optional<std::string>(*group) : std::nullopt, std::move(*child)});
    }
    if (bundle != nullptr && group != nullptr) return Addressee(Addressee::Group{*bundle, *group});
    if (classification != nullptr) return Addressee(Addressee::Classification{*classification});
    if (product != nullptr) return Addressee(Addressee::Product{*product});
    if (bundle != nullptr) return Addressee(Addressee::Product{*bundle});
    return std::nullopt;
}

synthesis::ChannelResult<std::map<Addressee, std::vector<std::string>>> resolve_addressees(
    synthesis::RecordChannels& channels, std::string_view org, const std::set<Addressee>& requested,
    Channel& channel, const domain::CancellationToken& token) {
    std::map<Addressee, std::vector<std::string>> ids;
    for (const KindQuery& kind : kKindQueries) {
        std::set<std::string> names;
        for (const Addressee& addressee : requested) {
            if (addressee.value().index() == kind.kind) names.insert(addressee.look_up_name());
        }
        const std::vector<std::string> ordered(names.begin(), names.end());
        for (std::size_t start = 0; start < ordered.size(); start += kMaxRecordsPerRequest) {
            if (token.is_cancelled()) return std::unexpected(ChannelError::cancelled());
            const std::size_t count = std::min(kMaxRecordsPerRequest, ordered.size() - start);
            const std::string list = synthesis::id_list(std::span<const std::string>(ordered).subspan(start, count));
            ++channel.rest_calls;
            auto rows = channels.query(org, fmt::format(fmt::runtime(kind.format), list), token);
            if (!rows) return std::unexpected(std::move(rows.error()));
            for (const json::Object& row : *rows) {
                auto id = identity::record_id(row);
                auto addressee = kind.addressee(row);
                if (!id || !addressee || !requested.contains(*addressee)) continue;
                ids[std::move(*addressee)].push_back(std::move(*id));
            }
        }
    }
    if (token.is_cancelled()) return std::unexpected(ChannelError::cancelled());
    return ids;
}

std::expected<TagsSummary, std::string> transfer_tags(synthesis::RecordChannels& channels, std::string_view org,
                                                      std::string_view expression_set_id,
                                                      const std::vector<document::ModelTag>& tags, Channel& channel,
                                                      const domain::CancellationToken& token) {
    TagsSummary summary;
    if (tags.empty()) return summary;

    // The addressee of each tag, in document order.
    std::vector<std::optional<Addressee>> addressees;
    std::vector<const document::ModelTag*> addressed;
    std::set<Addressee> requested;
    for (const document::ModelTag& tag : tags) {
        auto addressee = addressee_of(tag);
        if (addressee) {
            requested.insert(*addressee);
            addressed.push_back(&tag);
        } else {
            summary.skipped.emplace_back(label_of(tag),
                                         std::string(tag.unresolved ? kUnresolvedReason : kUnrecognizedReason));
        }
        addressees.push_back(std::move(addressee));
    }

    auto ids = resolve_addressees(channels, org, requested, channel, token);
    if (!ids) {
        if (ids.error().is_cancelled()) return std::unexpected(cancelled_during_tags());
        not_sent(addressed, ids.error(), channel, summary);
        return summary;
    }

    ++channel.rest_calls;
    auto existing_rows =
        channels.query(org, fmt::format(kExistingTagsQueryFormat, synthesis::soql_quote(expression_set_id)), token);
    if (!existing_rows) {
        if (existing_rows.error().is_cancelled()) return std::unexpected(cancelled_during_tags());
        not_sent(addressed, existing_rows.error(), channel, summary);
        return summary;
    }
    std::set<Triple> existing;
    for (const json::Object& row : *existing_rows) {
        if (auto triple = existing_triple(row)) existing.insert(std::move(*triple));
    }

    // The decision for each tag with an addressee; a triple is planned once per model.
    std::vector<std::pair<const document::ModelTag*, json::Object>> plan;
    std::set<Triple> planned;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (!addressees[i]) continue;
        const Addressee& addressee = *addressees[i];
        const document::ModelTag& tag = tags[i];
        const auto found = ids->find(addressee);
        if (found == ids->end() || found->second.empty()) {
            summary.without_addressee.emplace_back(label_of(tag),
                                                   fmt::format("{} {}", addressee.kind_word(), addressee.identity()));
            continue;
        }
        if (found->second.size() > 1) {
            summary.skipped.emplace_back(
                label_of(tag), fmt::format(kAmbiguousReasonFormat, addressee.kind_word(), addressee.identity()));
            continue;
        }
        Triple triple{found->second.front(), tag.tag, tag.tag_type};
        if (existing.contains(triple)) {
            ++summary.already_present;
            continue;
        }
        if (!planned.insert(std::move(triple)).second) continue;
        plan.emplace_back(&tag, tag_record(expression_set_id, found->second.front(), tag));
    }

    for (std::size_t start = 0; start < plan.size(); start += kMaxRecordsPerRequest) {
        if (token.is_cancelled()) return std::unexpected(cancelled_during_tags());
        const std::size_t end = std::min(plan.size(), start + kMaxRecordsPerRequest);
        std::vector<json::Object> records;
        records.reserve(end - start);
        for (std::size_t i = start; i < end; ++i) records.push_back(plan[i].second);
        ++channel.rest_calls;
        auto outcomes = channels.composite(org, synthesis::CompositeMethod::Create, records, token);
        if (!outcomes) {
            if (outcomes.error().is_cancelled()) return std::unexpected(cancelled_during_tags());
            for (std::size_t i = start; i < plan.size(); ++i) {
                summary.skipped.emplace_back(label_of(*plan[i].first), std::string(kNotSentReason));
            }
            channel.notes.push_back(outcomes.error().message.value_or(std::string()));
            return summary;
        }
        if (outcomes->size() != records.size()) {
            throw support::ProgrammingError(
                fmt::format("a composite create answered {} outcomes for {} records", outcomes->size(), records.size()));
        }
        for (std::size_t i = start; i < end; ++i) {
            const synthesis::CompositeOutcome& outcome = (*outcomes)[i - start];
            if (outcome.success) {
                ++summary.created;
            } else if (outcome.errors.empty()) {
                summary.skipped.emplace_back(label_of(*plan[i].first), std::string(kRefusedWithoutReason));
            } else {
                const synthesis::CompositeError& error = outcome.errors.front();
                summary.skipped.emplace_back(label_of(*plan[i].first),
                                             fmt::format("{}: {}", error.status_code, error.message));
            }
        }
    }
    return summary;
}

}  // namespace ambrel::data::bundles::model_transfer

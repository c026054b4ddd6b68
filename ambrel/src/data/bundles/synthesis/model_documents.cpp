#include "data/bundles/synthesis/model_documents.hpp"

#include <algorithm>
#include <span>

#include <fmt/format.h>

#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/query_text.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::data::bundles::synthesis {

namespace {

using identity::lookup;
using identity::normalized_member;

constexpr std::string_view kVersionQueryFormat =
    "SELECT Id, DeveloperName, Status, VersionNumber, ExpressionSetDefinition.DeveloperName FROM "
    "ExpressionSetDefinitionVersion WHERE ExpressionSetDefinition.DeveloperName = '{}' ORDER BY VersionNumber";
constexpr std::string_view kTagQueryFormat =
    "SELECT Id, ConstraintModelTag, ConstraintModelTagType, ReferenceObjectId, ExpressionSetId FROM "
    "ExpressionSetConstraintObj WHERE ExpressionSetId = '{}'";
constexpr std::string_view kProductQueryFormat = "SELECT Id, Name, Type FROM Product2 WHERE Id IN ({})";
constexpr std::string_view kClassificationQueryFormat = "SELECT Id, Code FROM ProductClassification WHERE Id IN ({})";
constexpr std::string_view kGroupQueryFormat =
    "SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE Id IN ({})";
constexpr std::string_view kComponentQueryFormat =
    "SELECT Id, ParentProduct.Name, ProductComponentGroup.Name, ChildProduct.Name, "
    "ChildProductClassification.Code FROM ProductRelatedComponent WHERE Id IN ({})";

constexpr std::string_view kInvalidNameFormat = "{} is not a valid record row name and was skipped.";
constexpr std::string_view kCmlAsObjectFormat =
    "The constraint model language of version {} of {} in {} came back as an object instead of text.";

// The product type whose products are addressed as bundles.
constexpr std::string_view kBundleProductType = "Bundle";

constexpr std::string_view kProductKey = "product";
constexpr std::string_view kProductBundleKey = "productBundle";
constexpr std::string_view kClassificationKey = "classification";
constexpr std::string_view kGroupKey = "group";
constexpr std::string_view kChildProductKey = "childProduct";
constexpr std::string_view kChildClassificationKey = "childClassification";

struct PendingModel {
    std::string name;
    std::string definition;
    std::vector<document::ModelVersion> versions;
    std::vector<json::Object> tag_rows;
};

std::string document_of(const std::map<std::string, std::string>& documents, const std::string& name) {
    const auto found = documents.find(name);
    return found == documents.end() ? std::string() : found->second;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

void add_pair(Pairs& pairs, std::string_view key, std::optional<std::string> value) {
    if (value) pairs.emplace_back(std::string(key), std::move(*value));
}

// Each returned row adds or replaces the entry of its Id; rows lacking a needed member are skipped.
void name_products(const std::vector<json::Object>& rows, AddresseeAttributes& addressees) {
    for (const json::Object& row : rows) {
        auto id = identity::record_id(row);
        auto name = normalized_member(row, "Name");
        if (!id || !name) continue;
        const auto type = normalized_member(row, "Type");
        const std::string_view key = type && *type == kBundleProductType ? kProductBundleKey : kProductKey;
        addressees[std::move(*id)] = Pairs{{std::string(key), std::move(*name)}};
    }
}

void name_classifications(const std::vector<json::Object>& rows, AddresseeAttributes& addressees) {
    for (const json::Object& row : rows) {
        auto id = identity::record_id(row);
        auto code = normalized_member(row, "Code");
        if (!id || !code) continue;
        addressees[std::move(*id)] = Pairs{{std::string(kClassificationKey), std::move(*code)}};
    }
}

void name_groups(const std::vector<json::Object>& rows, AddresseeAttributes& addressees) {
    for (const json::Object& row : rows) {
        auto id = identity::record_id(row);
        auto name = normalized_member(row, "Name");
        if (!id || !name) continue;
        Pairs pairs;
        add_pair(pairs, kProductBundleKey, lookup(row, "ParentProduct", "Name"));
        add_pair(pairs, kGroupKey, std::move(name));
        addressees[std::move(*id)] = std::move(pairs);
    }
}

void name_components(const std::vector<json::Object>& rows, AddresseeAttributes& addressees) {
    for (const json::Object& row : rows) {
        auto id = identity::record_id(row);
        if (!id) continue;
        Pairs pairs;
        add_pair(pairs, kProductBundleKey, lookup(row, "ParentProduct", "Name"));
        add_pair(pairs, kGroupKey, lookup(row, "ProductComponentGroup", "Name"));
        add_pair(pairs, kChildProductKey, lookup(row, "ChildProduct", "Name"));
        add_pair(pairs, kChildClassificationKey, lookup(row, "ChildProductClassification", "Code"));
        // Stored even without pairs: the tag then reads as unresolved.
        addressees[std::move(*id)] = std::move(pairs);
    }
}

// The four addressee queries per chunk of referenced Ids, in this order.
struct AddresseeQuery {
    std::string_view format;
    void (*name)(const std::vector<json::Object>&, AddresseeAttributes&);
};
constexpr AddresseeQuery kAddresseeQueries[] = {
    {kProductQueryFormat, name_products},
    {kClassificationQueryFormat, name_classifications},
    {kGroupQueryFormat, name_groups},
    {kComponentQueryFormat, name_components},
};

ChannelResult<AddresseeAttributes> read_addressees(RecordChannels& channels, std::string_view alias,
                                                   const std::vector<PendingModel>& pending,
                                                   const domain::CancellationToken& token) {
    std::set<std::string> ids;
    for (const PendingModel& model : pending) {
        for (const json::Object& row : model.tag_rows) {
            if (auto id = normalized_member(row, "ReferenceObjectId")) ids.insert(std::move(*id));
        }
    }
    const std::vector<std::string> ordered(ids.begin(), ids.end());
    AddresseeAttributes addressees;
    for (std::size_t start = 0; start < ordered.size(); start += kMaxRecordsPerRequest) {
        const std::size_t count = std::min(kMaxRecordsPerRequest, ordered.size() - start);
        const std::string list = id_list(std::span<const std::string>(ordered).subspan(start, count));
        for (const AddresseeQuery& query : kAddresseeQueries) {
            auto rows = channels.query(alias, fmt::format(fmt::runtime(query.format), list), token);
            if (!rows) return std::unexpected(std::move(rows.error()));
            query.name(*rows, addressees);
        }
    }
    return addressees;
}

}  // namespace

document::ModelTag render_tag(const json::Object& row, const AddresseeAttributes& addressees) {
    document::ModelTag tag;
    tag.tag_type = normalized_member(row, "ConstraintModelTagType").value_or(std::string());
    tag.tag = normalized_member(row, "ConstraintModelTag").value_or(std::string());
    const auto reference = normalized_member(row, "ReferenceObjectId");
    if (!reference) return tag;
    if (const auto found = addressees.find(*reference); found != addressees.end()) {
        tag.attributes = found->second;
    }
    if (tag.attributes.empty()) tag.unresolved = *reference;
    return tag;
}

ChannelResult<ModelDocumentsOutcome> read_model_documents(RecordChannels& channels, const ModelSide& side,
                                                          const std::set<std::string>& model_names,
                                                          const std::map<std::string, std::string>& expression_sets,
                                                          const domain::CancellationToken& token) {
    ModelDocumentsOutcome outcome;
    std::vector<PendingModel> pending;
    for (const std::string& name : model_names) {
        if (!metadata_types::is_valid_record_row_name(name)) {
            if (side.is_source) outcome.messages.push_back(fmt::format(kInvalidNameFormat, name));
            continue;
        }
        const auto expression_set = expression_sets.find(name);
        if (expression_set == expression_sets.end()) continue;

        auto version_rows = channels.query(side.alias, fmt::format(kVersionQueryFormat, soql_quote(name)), token);
        if (!version_rows) return std::unexpected(std::move(version_rows.error()));
        PendingModel model{name, document_of(side.definition_documents, name), {}, {}};
        bool blocked = false;
        for (const json::Object& row : *version_rows) {
            auto developer_name = normalized_member(row, "DeveloperName");
            if (!developer_name) continue;
            std::string constraint_model;
            if (const auto id = identity::record_id(row)) {
                auto cml = channels.read_cml(side.alias, *id, token);
                if (!cml) return std::unexpected(std::move(cml.error()));
                if (!*cml) {
                    outcome.blocked_rows[domain::ComponentKey{metadata_types::MetadataType::ConstraintModel, name}] =
                        fmt::format(kCmlAsObjectFormat, *developer_name, name, side.label);
                    blocked = true;
                    break;
                }
                constraint_model = std::move(**cml);
            }
            std::string status = normalized_member(row, "Status").value_or(std::string());
            std::string shell = document_of(side.version_documents, *developer_name);
            model.versions.push_back(document::ModelVersion{std::move(*developer_name), std::move(status),
                                                            std::move(shell), std::move(constraint_model)});
        }
        if (blocked) continue;

        auto tag_rows =
            channels.query(side.alias, fmt::format(kTagQueryFormat, soql_quote(expression_set->second)), token);
        if (!tag_rows) return std::unexpected(std::move(tag_rows.error()));
        model.tag_rows = std::move(*tag_rows);
        pending.push_back(std::move(model));
    }

    auto addressees = read_addressees(channels, side.alias, pending, token);
    if (!addressees) return std::unexpected(std::move(addressees.error()));

    for (PendingModel& model : pending) {
        document::ModelDocument document;
        document.name = model.name;
        document.definition = std::move(model.definition);
        document.versions = std::move(model.versions);
        for (const json::Object& row : model.tag_rows) document.tags.push_back(render_tag(row, *addressees));
        outcome.documents[fmt::format(kModelDocumentPathFormat, model.name)] =
            document::render_model_document(document);
    }
    return outcome;
}

}  // namespace ambrel::data::bundles::synthesis

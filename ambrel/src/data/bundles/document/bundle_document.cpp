#include "data/bundles/document/bundle_document.hpp"

#include <array>
#include <charconv>
#include <type_traits>

#include <fmt/format.h>

#include "data/bundles/document/reading_loop.hpp"

namespace ambrel::data::bundles::document {

namespace {

using reading::Path;
using reading::StartAnswer;

constexpr std::string_view kSchema = "schema";
constexpr std::string_view kProduct = "product";
constexpr std::string_view kClassifications = "classifications";
constexpr std::string_view kGroups = "groups";
constexpr std::string_view kComponents = "components";
constexpr std::string_view kChildProducts = "childProducts";
constexpr std::string_view kSellingModelOptions = "sellingModelOptions";
constexpr std::string_view kPriceBookEntries = "priceBookEntries";
constexpr std::string_view kTaggedBy = "taggedBy";

constexpr std::string_view kObject = "object";
constexpr std::string_view kUnresolved = "unresolved";
constexpr std::string_view kCompared = "compared";
constexpr std::string_view kOmitted = "omitted";
constexpr std::string_view kClassification = "classification";
constexpr std::string_view kGroup = "group";
constexpr std::string_view kComponent = "component";
constexpr std::string_view kChildProduct = "childProduct";
constexpr std::string_view kSellingModelOption = "sellingModelOption";
constexpr std::string_view kPriceBookEntry = "priceBookEntry";
constexpr std::string_view kModel = "model";
constexpr std::string_view kBasedOn = "basedOn";

constexpr std::string_view kSideSource = "source";
constexpr std::string_view kSideTarget = "target";
constexpr std::string_view kTrue = "true";

constexpr std::array<std::string_view, 9> kSections = {kSchema,           kProduct,         kClassifications,
                                                       kGroups,           kComponents,      kChildProducts,
                                                       kSellingModelOptions, kPriceBookEntries, kTaggedBy};

// A later element of the same name replaces the earlier value. Writers emit fields in key order, so
// the hint at the end makes the usual insertion constant time.
void assign_field(FieldSet& fields, std::string_view name, std::string value) {
    fields.insert_or_assign(fields.end(), std::string(name), std::move(value));
}

// An unsigned decimal that fits 64 bits, with an optional leading "+" and nothing else.
std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// ---------------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------------

class BundleFormat {
public:
    static constexpr std::string_view root_name = kBundleRoot;
    static constexpr std::string_view namespace_uri = kBundleNamespace;

    std::string_view root_message() const { return "root element must be ProductBundle in the product bundle namespace"; }
    std::string namespace_message(std::string_view local) const {
        return fmt::format("<{}> is outside the product bundle namespace", local);
    }

    std::expected<StartAnswer, BundleDocumentError> on_start(const Path& path, std::string_view local,
                                                             const xml::Event& tag) {
        switch (path.size()) {
            case 1:
                for (const std::string_view section : kSections) {
                    if (local == section) return StartAnswer::Accepted;
                }
                return StartAnswer::NotExpected;
            case 2:
                row_fields_ = nullptr;
                child_product_ = nullptr;
                return start_in_section(path[1], local, tag);
            case 3:
                if (path[1] == kSchema && path[2] == kObject) {
                    if (local == kCompared) return StartAnswer::Accepted;
                    if (local == kOmitted) {
                        auto side = required_attribute(kOmitted, tag, "side");
                        if (!side) return std::unexpected(std::move(side.error()));
                        pending_side_ = std::move(*side);
                        return StartAnswer::Accepted;
                    }
                    return StartAnswer::NotExpected;
                }
                // Only an open row takes field elements.
                return row_fields_ != nullptr ? StartAnswer::Accepted : StartAnswer::NotExpected;
            default:
                return StartAnswer::NotExpected;
        }
    }

    std::expected<void, BundleDocumentError> on_end(const Path& path, std::string value) {
        auto result = end_action(path, std::move(value));
        pending_side_.reset();
        return result;
    }

    BundleDocument document;

private:
    std::expected<StartAnswer, BundleDocumentError> start_in_section(std::string_view section, std::string_view local,
                                                                     const xml::Event& tag) {
        auto fail = [](BundleDocumentError error) { return std::unexpected(std::move(error)); };
        if (section == kProduct) return StartAnswer::Accepted;
        const TagAttributes attributes(tag);
        if (section == kSchema) {
            if (local == kObject) {
                auto name = attributes.required(kObject, "name");
                if (!name) return fail(std::move(name.error()));
                document.objects.push_back(ObjectFieldPlan{std::move(*name), {}, {}, {}});
                return StartAnswer::Accepted;
            }
            if (local == kUnresolved) {
                auto object = attributes.required(kUnresolved, "object");
                if (!object) return fail(std::move(object.error()));
                auto count_text = attributes.required(kUnresolved, "count");
                if (!count_text) return fail(std::move(count_text.error()));
                const auto count = parse_count(*count_text);
                if (!count) return fail(BundleDocumentError("<unresolved> has a 'count' that is not a number"));
                document.unresolved.emplace_back(std::move(*object), *count);
                return StartAnswer::Accepted;
            }
            return StartAnswer::NotExpected;
        }
        if (section == kClassifications && local == kClassification) {
            auto code = attributes.required(kClassification, "code");
            if (!code) return fail(std::move(code.error()));
            auto parent = attributes.find("parent");
            if (!parent) return fail(std::move(parent.error()));
            document.classifications.push_back(ClassificationNode{std::move(*code), std::move(*parent), {}});
            row_fields_ = &document.classifications.back().fields;
            return StartAnswer::Accepted;
        }
        if (section == kGroups && local == kGroup) {
            auto name = attributes.required(kGroup, "name");
            if (!name) return fail(std::move(name.error()));
            auto parent = attributes.find("parent");
            if (!parent) return fail(std::move(parent.error()));
            document.groups.push_back(GroupNode{std::move(*name), std::move(*parent), {}});
            row_fields_ = &document.groups.back().fields;
            return StartAnswer::Accepted;
        }
        if (section == kComponents && local == kComponent) return start_component(tag);
        if (section == kChildProducts && local == kChildProduct) {
            auto name = attributes.required(kChildProduct, "name");
            if (!name) return fail(std::move(name.error()));
            auto bundle = attributes.find("bundle");
            if (!bundle) return fail(std::move(bundle.error()));
            document.child_products.push_back(
                ChildProductNode{std::move(*name), std::nullopt, {}, *bundle && **bundle == kTrue});
            child_product_ = &document.child_products.back();
            row_fields_ = &child_product_->fields;
            return StartAnswer::Accepted;
        }
        if (section == kSellingModelOptions && local == kSellingModelOption) {
            auto product = attributes.required(kSellingModelOption, "product");
            if (!product) return fail(std::move(product.error()));
            auto selling_model = attributes.required(kSellingModelOption, "sellingModel");
            if (!selling_model) return fail(std::move(selling_model.error()));
            document.selling_model_options.push_back(
                SellingModelOptionNode{{std::move(*product), std::move(*selling_model)}, {}});
            row_fields_ = &document.selling_model_options.back().fields;
            return StartAnswer::Accepted;
        }
        if (section == kPriceBookEntries && local == kPriceBookEntry) {
            auto product = attributes.required(kPriceBookEntry, "product");
            if (!product) return fail(std::move(product.error()));
            auto price_book = attributes.required(kPriceBookEntry, "priceBook");
            if (!price_book) return fail(std::move(price_book.error()));
            auto selling_model = attributes.find("sellingModel");
            if (!selling_model) return fail(std::move(selling_model.error()));
            auto currency = attributes.find("currency");
            if (!currency) return fail(std::move(currency.error()));
            auto standard = attributes.find("standard");
            if (!standard) return fail(std::move(standard.error()));
            document.price_book_entries.push_back(PriceBookEntryNode{
                {std::move(*product), std::move(*price_book), std::move(*selling_model), std::move(*currency)},
                {},
                *standard && **standard == kTrue});
            row_fields_ = &document.price_book_entries.back().fields;
            return StartAnswer::Accepted;
        }
        if (section == kTaggedBy && local == kModel) return StartAnswer::Accepted;
        return StartAnswer::NotExpected;
    }

    std::expected<StartAnswer, BundleDocumentError> start_component(const xml::Event& tag) {
        auto fail = [](BundleDocumentError error) { return std::unexpected(std::move(error)); };
        const TagAttributes attributes(tag);
        auto child_product = attributes.find("childProduct");
        if (!child_product) return fail(std::move(child_product.error()));
        auto child_classification = attributes.find("childClassification");
        if (!child_classification) return fail(std::move(child_classification.error()));
        if (child_product->has_value() == child_classification->has_value()) {
            return fail(BundleDocumentError("<component> must carry exactly one of 'childProduct', 'childClassification'"));
        }
        ComponentNode node;
        if (*child_product) {
            node.identity.kind = identity::ComponentChildKind::Product;
            node.identity.child = std::move(**child_product);
        } else {
            node.identity.kind = identity::ComponentChildKind::Classification;
            node.identity.child = std::move(**child_classification);
        }
        auto group = attributes.find("group");
        if (!group) return fail(std::move(group.error()));
        node.identity.group = std::move(*group);
        auto relationship_type = attributes.find("relationshipType");
        if (!relationship_type) return fail(std::move(relationship_type.error()));
        node.relationship_type = std::move(*relationship_type);
        auto parent_selling_model = attributes.find("parentSellingModel");
        if (!parent_selling_model) return fail(std::move(parent_selling_model.error()));
        node.parent_selling_model = std::move(*parent_selling_model);
        auto child_selling_model = attributes.find("childSellingModel");
        if (!child_selling_model) return fail(std::move(child_selling_model.error()));
        node.child_selling_model = std::move(*child_selling_model);
        document.components.push_back(std::move(node));
        row_fields_ = &document.components.back().fields;
        return StartAnswer::Accepted;
    }

    std::expected<void, BundleDocumentError> end_action(const Path& path, std::string value) {
        if (path.size() == 3) {
            if (path[1] == kProduct) {
                if (path[2] == kBasedOn) {
                    document.based_on = std::move(value);
                } else {
                    assign_field(document.product, path[2], std::move(value));
                }
            } else if (path[1] == kTaggedBy && path[2] == kModel) {
                document.tagged_by.push_back(std::move(value));
            }
            return {};
        }
        if (path.size() != 4) return {};
        const std::string_view section = path[1];
        const std::string_view name = path[3];
        if (section == kSchema) {
            if (path[2] != kObject || document.objects.empty()) return {};
            ObjectFieldPlan& plan = document.objects.back();
            if (name == kCompared) {
                plan.compared = name_list(value);
            } else if (name == kOmitted) {
                const std::string side = pending_side_.value_or(std::string());
                if (side == kSideSource) {
                    plan.source_only = name_list(value);
                } else if (side == kSideTarget) {
                    plan.target_only = name_list(value);
                } else {
                    return std::unexpected(BundleDocumentError(fmt::format("<omitted> has an unknown side '{}'", side)));
                }
            }
            return {};
        }
        if (row_fields_ == nullptr) return {};
        if (child_product_ != nullptr && name == kBasedOn) {
            child_product_->based_on = std::move(value);
        } else {
            assign_field(*row_fields_, name, std::move(value));
        }
        return {};
    }

    // The side of the open `omitted` element.
    std::optional<std::string> pending_side_;
    // The field set of the row element last opened below a section (and the node when it is a child
    // product), so that its field elements need no lookup; reset at every element opened below a
    // section, and pointing into the lists only until the next row is appended.
    FieldSet* row_fields_ = nullptr;
    ChildProductNode* child_product_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------------

void open_line(std::string& out, std::size_t depth, std::string_view name) {
    indent(out, depth);
    out.push_back('<');
    out.append(name);
    out.append(">\n");
}

void close_line(std::string& out, std::size_t depth, std::string_view name) {
    indent(out, depth);
    out.append("</");
    out.append(name);
    out.append(">\n");
}

// Starts "<name" at `depth`; the caller appends attributes and ends the tag.
void begin_tag(std::string& out, std::size_t depth, std::string_view name) {
    indent(out, depth);
    out.push_back('<');
    out.append(name);
}

constexpr std::size_t kSectionDepth = 1;
constexpr std::size_t kRowDepth = 2;
constexpr std::size_t kRowFieldDepth = 3;

template <class Node, class Attributes>
void write_rows(std::string& out, std::string_view section, std::string_view row, const std::vector<Node>& nodes,
                Attributes&& attributes) {
    open_line(out, kSectionDepth, section);
    for (const Node& node : nodes) {
        begin_tag(out, kRowDepth, row);
        attributes(node);
        out.append(">\n");
        write_field_set(out, node.fields, kRowFieldDepth);
        if constexpr (std::is_same_v<Node, ChildProductNode>) {
            if (node.based_on) text_element(out, kRowFieldDepth, kBasedOn, *node.based_on);
        }
        close_line(out, kRowDepth, row);
    }
    close_line(out, kSectionDepth, section);
}

}  // namespace

std::string write_bundle_document(const BundleDocument& document) {
    std::string out;
    out.append(kXmlDeclaration);
    out.push_back('\n');
    out.append(fmt::format("<{} xmlns=\"{}\">\n", kBundleRoot, kBundleNamespace));

    open_line(out, kSectionDepth, kSchema);
    for (const ObjectFieldPlan& plan : document.objects) {
        begin_tag(out, kRowDepth, kObject);
        attribute(out, "name", plan.object);
        out.append(">\n");
        text_element(out, kRowFieldDepth, kCompared, join_names(plan.compared));
        const std::pair<std::string_view, const std::vector<std::string>*> omitted[] = {
            {kSideSource, &plan.source_only}, {kSideTarget, &plan.target_only}};
        for (const auto& [side, names] : omitted) {
            if (names->empty()) continue;
            begin_tag(out, kRowFieldDepth, kOmitted);
            attribute(out, "side", side);
            out.push_back('>');
            xml::append_escaped_text(out, join_names(*names));
            out.append("</");
            out.append(kOmitted);
            out.append(">\n");
        }
        close_line(out, kRowDepth, kObject);
    }
    for (const auto& [object, count] : document.unresolved) {
        begin_tag(out, kRowDepth, kUnresolved);
        attribute(out, "object", object);
        attribute(out, "count", fmt::format("{}", count));
        out.append("/>\n");
    }
    close_line(out, kSectionDepth, kSchema);

    open_line(out, kSectionDepth, kProduct);
    write_field_set(out, document.product, kRowDepth);
    if (document.based_on) text_element(out, kRowDepth, kBasedOn, *document.based_on);
    close_line(out, kSectionDepth, kProduct);

    write_rows(out, kClassifications, kClassification, document.classifications, [&](const ClassificationNode& node) {
        attribute(out, "code", node.code);
        optional_attribute(out, "parent", node.parent);
    });
    write_rows(out, kGroups, kGroup, document.groups, [&](const GroupNode& node) {
        attribute(out, "name", node.name);
        optional_attribute(out, "parent", node.parent);
    });
    write_rows(out, kComponents, kComponent, document.components, [&](const ComponentNode& node) {
        attribute(out,
                  node.identity.kind == identity::ComponentChildKind::Product ? "childProduct" : "childClassification",
                  node.identity.child);
        optional_attribute(out, "group", node.identity.group);
        optional_attribute(out, "relationshipType", node.relationship_type);
        optional_attribute(out, "parentSellingModel", node.parent_selling_model);
        optional_attribute(out, "childSellingModel", node.child_selling_model);
    });
    write_rows(out, kChildProducts, kChildProduct, document.child_products, [&](const ChildProductNode& node) {
        attribute(out, "name", node.name);
        if (node.bundle) attribute(out, "bundle", kTrue);
    });
    write_rows(out, kSellingModelOptions, kSellingModelOption, document.selling_model_options,
               [&](const SellingModelOptionNode& node) {
                   attribute(out, "product", node.identity.product);
                   attribute(out, "sellingModel", node.identity.selling_model);
               });
    write_rows(out, kPriceBookEntries, kPriceBookEntry, document.price_book_entries,
               [&](const PriceBookEntryNode& node) {
                   attribute(out, "product", node.identity.product);
                   attribute(out, "priceBook", node.identity.price_book);
                   optional_attribute(out, "sellingModel", node.identity.selling_model);
                   optional_attribute(out, "currency", node.identity.currency);
                   if (node.standard) attribute(out, "standard", kTrue);
               });

    open_line(out, kSectionDepth, kTaggedBy);
    for (const std::string& model : document.tagged_by) text_element(out, kRowDepth, kModel, model);
    close_line(out, kSectionDepth, kTaggedBy);

    out.append(fmt::format("</{}>\n", kBundleRoot));
    return out;
}

std::expected<BundleDocument, BundleDocumentError> parse_bundle_document(std::string_view text) {
    BundleFormat format;
    if (auto read = reading::read(text, format); !read) return std::unexpected(std::move(read.error()));
    return std::move(format.document);
}

}  // namespace ambrel::data::bundles::document

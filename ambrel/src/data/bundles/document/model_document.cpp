#include "data/bundles/document/model_document.hpp"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "data/bundles/document/reading_loop.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::document {

namespace {

using reading::Path;
using reading::StartAnswer;

constexpr std::string_view kDefinition = "definition";
constexpr std::string_view kVersions = "versions";
constexpr std::string_view kVersion = "version";
constexpr std::string_view kShell = "shell";
constexpr std::string_view kConstraintModel = "constraintModel";
constexpr std::string_view kTags = "tags";
constexpr std::string_view kTag = "tag";
constexpr std::string_view kTypeAttribute = "type";
constexpr std::string_view kTagAttribute = "tag";
constexpr std::string_view kUnresolvedAttribute = "unresolved";

class ModelFormat {
public:
    static constexpr std::string_view root_name = kModelRoot;
    static constexpr std::string_view namespace_uri = kModelNamespace;

    std::string_view root_message() const {
        return "root element must be ConstraintModel in the constraint model namespace";
    }
    std::string namespace_message(std::string_view local) const {
        return fmt::format("<{}> is outside the constraint model namespace", local);
    }

    std::expected<StartAnswer, BundleDocumentError> on_start(const Path& path, std::string_view local,
                                                             const xml::Event& event) {
        if (path.size() == 1) {
            return local == kDefinition || local == kVersions || local == kTags ? StartAnswer::Accepted
                                                                                : StartAnswer::NotExpected;
        }
        if (path.size() == 2 && path[1] == kVersions && local == kVersion) {
            auto name = required_attribute(kVersion, event, "name");
            if (!name) return std::unexpected(std::move(name.error()));
            auto status = required_attribute(kVersion, event, "status");
            if (!status) return std::unexpected(std::move(status.error()));
            document.versions.push_back(ModelVersion{std::move(*name), std::move(*status), {}, {}});
            return StartAnswer::Accepted;
        }
        if (path.size() == 2 && path[1] == kTags && local == kTag) return start_tag(event);
        if (path.size() == 3 && path[1] == kVersions && path[2] == kVersion &&
            (local == kShell || local == kConstraintModel)) {
            return StartAnswer::Accepted;
        }
        return StartAnswer::NotExpected;
    }

    std::expected<void, BundleDocumentError> on_end(const Path& path, std::string value) {
        if (path.size() == 2 && path[1] == kDefinition) {
            document.definition = std::move(value);
        } else if (path.size() == 4 && path[1] == kVersions && path[2] == kVersion && !document.versions.empty()) {
            if (path[3] == kShell) {
                document.versions.back().shell = std::move(value);
            } else if (path[3] == kConstraintModel) {
                document.versions.back().constraint_model = std::move(value);
            }
        }
        return {};
    }

    ModelDocument document;

private:
    std::expected<StartAnswer, BundleDocumentError> start_tag(const xml::Event& event) {
        std::optional<std::string> tag_type;
        std::optional<std::string> tag_name;
        ModelTag tag;
        xml::AttributeIterator attributes = event.attributes();
        while (true) {
            auto next = attributes.next();
            if (!next) {
                return std::unexpected(
                    BundleDocumentError(fmt::format("attribute: {}", text::decode_lossy(next.error().message()))));
            }
            if (!*next) break;
            const xml::Attribute& attribute = **next;
            std::string local = text::decode_lossy(attribute.local_name());
            auto value = attribute.normalized_value();
            if (!value) {
                return std::unexpected(
                    BundleDocumentError(fmt::format("attribute: {}", text::decode_lossy(value.error().message()))));
            }
            if (local == kTypeAttribute) {
                tag_type = std::move(*value);
            } else if (local == kTagAttribute) {
                tag_name = std::move(*value);
            } else if (local == kUnresolvedAttribute) {
                tag.unresolved = std::move(*value);
            } else {
                tag.attributes.emplace_back(std::move(local), std::move(*value));
            }
        }
        if (!tag_type) return std::unexpected(BundleDocumentError("<tag> has no 'type' attribute"));
        if (!tag_name) return std::unexpected(BundleDocumentError("<tag> has no 'tag' attribute"));
        tag.tag_type = std::move(*tag_type);
        tag.tag = std::move(*tag_name);
        document.tags.push_back(std::move(tag));
        return StartAnswer::Accepted;
    }
};

void cdata_line(std::string& out, std::size_t depth, std::string_view name, std::string_view text) {
    indent(out, depth);
    out.push_back('<');
    out.append(name);
    out.push_back('>');
    out.append(xml::cdata_section(text));
    out.append("</");
    out.append(name);
    out.append(">\n");
}

}  // namespace

std::vector<std::string_view> ModelDocument::active_version_names() const {
    std::vector<std::string_view> names;
    for (const ModelVersion& version : versions) {
        if (version.status == kActiveStatus) names.push_back(version.name);
    }
    return names;
}

std::string render_model_document(const ModelDocument& document) {
    std::string out;
    out.append(kXmlDeclaration);
    out.push_back('\n');
    out.append(fmt::format("<{} xmlns=\"{}\">\n", kModelRoot, kModelNamespace));
    cdata_line(out, 1, kDefinition, document.definition);

    std::vector<const ModelVersion*> versions;
    versions.reserve(document.versions.size());
    for (const ModelVersion& version : document.versions) versions.push_back(&version);
    std::ranges::stable_sort(versions, [](const ModelVersion* a, const ModelVersion* b) { return a->name < b->name; });
    indent(out, 1);
    out.append("<versions>\n");
    for (const ModelVersion* version : versions) {
        indent(out, 2);
        out.append("<version");
        attribute(out, "name", version->name);
        attribute(out, "status", version->status);
        out.append(">\n");
        cdata_line(out, 3, kShell, version->shell);
        cdata_line(out, 3, kConstraintModel, version->constraint_model);
        indent(out, 2);
        out.append("</version>\n");
    }
    indent(out, 1);
    out.append("</versions>\n");

    std::set<ModelTag> tags(document.tags.begin(), document.tags.end());
    indent(out, 1);
    out.append("<tags>\n");
    for (const ModelTag& tag : tags) {
        indent(out, 2);
        out.append("<tag");
        attribute(out, kTypeAttribute, tag.tag_type);
        attribute(out, kTagAttribute, tag.tag);
        for (const auto& [name, value] : tag.attributes) attribute(out, name, value);
        optional_attribute(out, kUnresolvedAttribute, tag.unresolved);
        out.append("/>\n");
    }
    indent(out, 1);
    out.append("</tags>\n");
    out.append(fmt::format("</{}>\n", kModelRoot));
    return out;
}

std::expected<ModelDocument, BundleDocumentError> parse_model_document(std::string_view text) {
    ModelFormat format;
    if (auto read = reading::read(text, format); !read) return std::unexpected(std::move(read.error()));
    return std::move(format.document);
}

}  // namespace ambrel::data::bundles::document

#include "data/field_package/field_package.hpp"

#include <set>

#include <fmt/format.h>

#include "data/preparation/key_state.hpp"
#include "metadata/metadata_namespace.hpp"
#include "xml/xml.hpp"

namespace ambrel::data::field_package {

namespace {

constexpr std::string_view kDeclaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";
constexpr std::string_view kFieldLabel = "Quillary External ID";

}  // namespace

std::string escape_xml(std::string_view text) { return xml::escape_five_entities(text); }

std::string external_id_field_document() {
    std::string out;
    out.append(kDeclaration).append("\n");
    out.append(fmt::format("<CustomField xmlns=\"{}\">\n", metadata::kMetadataNamespaceUri));
    out.append(fmt::format("    <fullName>{}</fullName>\n", escape_xml(preparation::kOwnField)));
    out.append("    <caseSensitive>false</caseSensitive>\n");
    out.append("    <externalId>true</externalId>\n");
    out.append(fmt::format("    <label>{}</label>\n", escape_xml(kFieldLabel)));
    out.append("    <length>18</length>\n");
    out.append("    <required>false</required>\n");
    out.append("    <trackTrending>false</trackTrending>\n");
    out.append("    <type>Text</type>\n");
    out.append("    <unique>true</unique>\n");
    out.append("</CustomField>\n");
    return out;
}

std::string profile_field_permissions_document(const std::vector<std::string>& objects) {
    std::set<std::string> fields;
    for (const std::string& object : objects) fields.insert(fmt::format("{}.{}", object, preparation::kOwnField));
    std::string out;
    out.append(kDeclaration).append("\n");
    out.append(fmt::format("<Profile xmlns=\"{}\">\n", metadata::kMetadataNamespaceUri));
    for (const std::string& field : fields) {
        out.append("    <fieldPermissions>\n");
        out.append("        <editable>true</editable>\n");
        out.append(fmt::format("        <field>{}</field>\n", escape_xml(field)));
        out.append("        <readable>true</readable>\n");
        out.append("    </fieldPermissions>\n");
    }
    out.append("</Profile>\n");
    return out;
}

}  // namespace ambrel::data::field_package

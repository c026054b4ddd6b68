#pragma once

// What the two record documents (product bundles and constraint models) share: the escaping of
// character data and attribute values, field sets and name lists, attribute lookups on a start tag and
// the decoding of character data. The writers are plain text templates built from these pieces; the
// readers run the strict loop of reading_loop.hpp over the system's XML pull reader.
//
// Writing never fails. Reading fails with a `BundleDocumentError` whose message starts in lower case
// (or with an element name in angle brackets) and carries no final period, so that callers embed it:
// - "attribute: {}" for a malformed attribute or a value with an unresolvable reference;
// - "<{}> has no '{}' attribute" for a missing required attribute (element, attribute);
// - "text: {}" for character data that is not UTF-8 or holds a bad reference.
//
// Thread-safety: pure functions; any thread.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "xml/xml.hpp"

namespace ambrel::data::bundles::document {

// Field API name → value as text, in byte order of the names. An absent value has no entry; an empty
// text is a present value.
using FieldSet = std::map<std::string, std::string>;

// The one error of both document readers.
class BundleDocumentError {
public:
    explicit BundleDocumentError(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }

    friend bool operator==(const BundleDocumentError&, const BundleDocumentError&) = default;

private:
    std::string message_;
};

// Indentation of one level of the documents.
inline constexpr std::string_view kIndent = "    ";
// The first line of both documents.
inline constexpr std::string_view kXmlDeclaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";
// Names of a name list are joined with this.
inline constexpr std::string_view kNameSeparator = ", ";

// Character data: "&", "<" and ">" escaped; everything else as it is.
std::string escape_text(std::string_view text);

// Appends ` name="value"` (the value escaped for double quotes) when the value is present.
void optional_attribute(std::string& out, std::string_view name, const std::optional<std::string>& value);
// Appends ` name="value"` unconditionally.
void attribute(std::string& out, std::string_view name, std::string_view value);

// Appends one line per entry: the indentation of `depth` levels, "<key>", the escaped value,
// "</key>" and a line feed.
void write_field_set(std::string& out, const FieldSet& fields, std::size_t depth);

// Appends the indentation of `depth` levels.
void indent(std::string& out, std::size_t depth);

// Appends "<name>" + escaped text + "</name>" + line feed at `depth`.
void text_element(std::string& out, std::size_t depth, std::string_view name, std::string_view text);

// The names joined with ", ", unescaped.
std::string join_names(std::span<const std::string> names);

// The values of the listed fields of one queried record: a boolean as "true"/"false", a number in the
// one shared number spelling (json::number_text), a string unchanged; null, arrays, objects and
// missing members give no entry.
FieldSet field_set(const json::Object& record, std::span<const std::string> field_names);

// The attributes of one start tag walked once, so that several lookups on one tag do not walk it
// again. Lookups answer exactly as `attribute_of` would. Borrows the reader's input through the tag.
class TagAttributes {
public:
    explicit TagAttributes(const xml::Event& tag);

    std::expected<std::optional<std::string>, BundleDocumentError> find(std::string_view name) const;
    std::expected<std::string, BundleDocumentError> required(std::string_view element, std::string_view name) const;

private:
    std::vector<xml::Attribute> attributes_;
    // The fault the walk met after `attributes_`.
    std::optional<xml::Error> fault_;
};

// The normalised value of the first attribute whose local name equals `name`, or none. Fails with
// "attribute: {}" when the walk meets a malformed attribute first or the value holds a bad reference.
std::expected<std::optional<std::string>, BundleDocumentError> attribute_of(const xml::Event& tag,
                                                                            std::string_view name);

// attribute_of, where absence fails with "<{element}> has no '{name}' attribute".
std::expected<std::string, BundleDocumentError> required_attribute(std::string_view element, const xml::Event& tag,
                                                                   std::string_view name);

// The raw bytes of a text run checked as UTF-8 and with the five predefined entities and numeric
// character references decoded; "text: {}" otherwise.
std::expected<std::string, BundleDocumentError> decode_document_text(std::string_view raw);

// A name list read back: empty for a blank text, else the untrimmed text split at every ", ".
std::vector<std::string> name_list(std::string_view text);

}  // namespace ambrel::data::bundles::document

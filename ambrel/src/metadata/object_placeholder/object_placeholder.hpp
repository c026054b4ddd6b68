#pragma once

// The minimal object document sent in place of an added object-like component (custom object,
// custom metadata type, platform event) that the target does not have yet: the XML declaration, the
// root element, the component's attribute values and, for a custom object that is no custom setting,
// the source's own nameField element copied byte for byte. A nameField written with prefixes that
// the source root binds keeps them bound: the placeholder's root repeats those declarations as
// written. Nothing is written to disk.
//
// Failures: "Cannot create {type} '{name}': its metadata form has no XML document." and "Cannot
// create {type} '{name}': its source metadata has no nameField element." (a malformed source counts
// as one without). Pure functions; safe from any thread.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "domain/component.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata::object_placeholder {

inline constexpr std::string_view kNoXmlDocument = "Cannot create {} '{}': its metadata form has no XML document.";
inline constexpr std::string_view kNoNameField = "Cannot create {} '{}': its source metadata has no nameField element.";

// The element text of an attribute value: none for absent, valueless or blank values.
std::optional<std::string> attribute_text(const domain::AttributeValue& value);

std::expected<std::string, std::string> placeholder_object_xml(const metadata_types::TypeDescriptor& descriptor,
                                                               const domain::MetadataComponent& component);

}  // namespace ambrel::metadata::object_placeholder

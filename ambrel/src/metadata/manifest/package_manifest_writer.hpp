#pragma once

// The package.xml text format of the whole system and the writer that renders a selection of
// metadata types and component names into it:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <Package xmlns="http://soap.sforce.com/2006/04/metadata">
//       <types>
//           <members>{name}</members>      one line per name, byte order, each once
//           <name>{package.xml type}</name>
//       </types>                           one element per type name, byte order
//       <version>{api version}</version>
//   </Package>
//
// Every line ends with a line feed; every text content passes through `escape_xml`. A type is listed
// under its descriptor's parent type name when it has one (CustomField under "CustomObject"),
// otherwise under its Metadata API name, so CustomField, CustomObject, CustomMetadataType and
// PlatformEvent share one "CustomObject" element. Record-data types have no package.xml name and are
// left out before any descriptor is consulted (the manifest export may hold them).
//
// Rendering never fails, checks nothing (the version is written as given) and is pure: safe on any
// thread. Writing the text to disk is the caller's part.

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata::manifest {

// What a manifest names: component names per metadata type.
using TypeSelection = std::map<metadata_types::MetadataType, std::set<std::string>>;

// The two lines that open every package.xml, each with its line feed.
inline constexpr std::string_view kManifestHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Package xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
inline constexpr std::string_view kTypesOpen = "    <types>\n";
inline constexpr std::string_view kTypesClose = "    </types>\n";
inline constexpr std::string_view kMembersOpen = "        <members>";
inline constexpr std::string_view kMembersClose = "</members>\n";
inline constexpr std::string_view kNameOpen = "        <name>";
inline constexpr std::string_view kNameClose = "</name>\n";
inline constexpr std::string_view kVersionOpen = "    <version>";
inline constexpr std::string_view kVersionClose = "</version>\n";
inline constexpr std::string_view kManifestTail = "</Package>\n";

// The double quote, ampersand, apostrophe, less-than and greater-than signs as the five predefined
// entities; everything else (control characters, non-ASCII text, existing entities) copied as is.
std::string escape_xml(std::string_view text);

// The package.xml type name of a type: the descriptor's parent type name, else its Metadata API name.
// A record-data type has none (asking is a programming error of the descriptor lookup).
std::string_view package_type_name(metadata_types::MetadataType type);

class PackageManifestWriter {
public:
    explicit PackageManifestWriter(std::string api_version) : api_version_(std::move(api_version)) {}

    const std::string& api_version() const noexcept { return api_version_; }

    // The whole package.xml text for the selection (record-data types left out).
    std::string render_types(const TypeSelection& selection) const;

private:
    std::string api_version_;
};

// Low-level pieces shared with the permission manifest writer.
namespace format {

// Appends one `types` element: the members in the order given, then the name.
template <class Members>
void append_types_element(std::string& out, const Members& members, std::string_view type_name);

// Appends the version line and the closing tag.
void append_tail(std::string& out, std::string_view api_version);

void append_member_line(std::string& out, std::string_view member);
void append_name_line(std::string& out, std::string_view type_name);

template <class Members>
void append_types_element(std::string& out, const Members& members, std::string_view type_name) {
    out += kTypesOpen;
    for (const auto& member : members) append_member_line(out, member);
    append_name_line(out, type_name);
    out += kTypesClose;
}

}  // namespace format

}  // namespace ambrel::metadata::manifest

#pragma once

#include <string_view>

namespace ambrel::metadata {

// The XML namespace of Salesforce Metadata API documents. Elements of metadata documents count only
// when their names resolve to exactly this URI (compared byte for byte).
inline constexpr std::string_view kMetadataNamespaceUri = "http://soap.sforce.com/2006/04/metadata";

}  // namespace ambrel::metadata

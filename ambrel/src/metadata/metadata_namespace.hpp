#pragma once

#include <string_view>

#include "xml/xml.hpp"

namespace ambrel::metadata {

// The XML namespace of Salesforce Metadata API documents. Elements of metadata documents count only
// when their names resolve to exactly this URI (compared byte for byte), or to the tooling namespace.
inline constexpr std::string_view kMetadataNamespaceUri = "http://soap.sforce.com/2006/04/metadata";

// The namespace that tools built on the Tooling API wrote into the same documents (Apex sidecars of
// many projects still carry it). It is read as the Metadata API namespace; the documents themselves
// are never rewritten, so they are deployed and committed byte for byte as they stand.
inline constexpr std::string_view kToolingMetadataNamespaceUri = "urn:metadata.tooling.soap.sforce.com";

// True when a resolved name lies in the Metadata API namespace (or the tooling one).
inline bool in_metadata_namespace(const xml::Namespace& ns) noexcept {
    return ns.is(kMetadataNamespaceUri) || ns.is(kToolingMetadataNamespaceUri);
}

// True when a resolved name lies in `namespace_uri`; the Metadata API namespace also admits the
// tooling one.
inline bool in_namespace(const xml::Namespace& ns, std::string_view namespace_uri) noexcept {
    if (namespace_uri == kMetadataNamespaceUri) return in_metadata_namespace(ns);
    return ns.is(namespace_uri);
}

}  // namespace ambrel::metadata

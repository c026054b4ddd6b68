#pragma once

// Two readings that gate and read back record documents: whether a Metadata API version is recent
// enough for product bundles and constraint models, and the version names a constraint model
// document holds. Pure functions over text, without an XML reader; any thread; never fail.
//
// A version is supported when the text before its first "." reads as an unsigned 32-bit decimal
// number (one optional leading "+", then ASCII digits only) of at least kMinimumRecordApiMajor.
// Version names are the texts after every `<version name="` up to the next double quote, the next
// such opening or the end of the document; empty names are skipped and "&quot;", "&lt;", "&gt;" and
// "&amp;" are decoded in one pass.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace ambrel::data::bundles::synthesis {

// The first Metadata API major version that carries product bundles and constraint models.
inline constexpr std::uint32_t kMinimumRecordApiMajor = 67;

bool api_version_is_supported(std::string_view api_version);

std::set<std::string> version_names_in(std::string_view document);

}  // namespace ambrel::data::bundles::synthesis

#pragma once

// The warning list that dependency analysis and the compare fill with what they could not resolve
// or had to skip, and the object-definition type of an object name that they share.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::dependency {

// Warnings in the order they were first reported; at most kMaxWarnings entries, the last of which
// becomes a counter line once more distinct warnings arrive than fit.
using WarningList = std::vector<std::string>;

inline constexpr std::size_t kMaxWarnings = 50;

// The ending of the counter line, after its decimal number.
inline constexpr std::string_view kHiddenWarningsSuffix = " more dependency warnings were not shown.";

// Adds a warning unless an equal entry exists. A full list keeps its first 49 warnings and turns
// its last entry into (or advances) the counter "{N} more dependency warnings were not shown.".
void push_warning(WarningList& list, std::string warning);

// The object-definition type that defines an object, by its API name (suffixes are case-sensitive):
// CustomMetadataType for "__mdt", PlatformEvent for "__e", CustomObject for "__c"; none for a
// packaged (namespaced) custom name and for standard objects.
std::optional<metadata_types::MetadataType> object_definition_type(std::string_view object_api_name);

}  // namespace ambrel::dependency

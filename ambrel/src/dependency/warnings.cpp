#include "dependency/warnings.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include <fmt/format.h>

#include "metadata/namespace_policy.hpp"

namespace ambrel::dependency {

namespace {

// The number that a counter line shows, or none when the entry is not a counter line. The number
// is an unsigned decimal with an optional leading "+", as the counter's own writer never emits but
// an earlier writer of the list may have.
std::optional<std::uint64_t> shown_counter(std::string_view entry) {
    if (!entry.ends_with(kHiddenWarningsSuffix)) return std::nullopt;
    std::string_view digits = entry.substr(0, entry.size() - kHiddenWarningsSuffix.size());
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        number = number * 10 + digit;
    }
    return number;
}

}  // namespace

void push_warning(WarningList& list, std::string warning) {
    if (std::find(list.begin(), list.end(), warning) != list.end()) return;
    if (list.size() < kMaxWarnings) {
        list.push_back(std::move(warning));
        return;
    }
    std::uint64_t hidden = 2;
    if (const auto shown = shown_counter(list.back())) {
        // Saturate rather than wrap: a counter cannot go back to a small number.
        hidden = *shown == std::numeric_limits<std::uint64_t>::max() ? *shown : *shown + 1;
    }
    list.back() = fmt::format("{}{}", hidden, kHiddenWarningsSuffix);
}

std::optional<metadata_types::MetadataType> object_definition_type(std::string_view object_api_name) {
    using metadata_types::MetadataType;
    if (metadata::PACKAGED_FIELD_PATTERN.matches(object_api_name)) return std::nullopt;
    if (object_api_name.ends_with("__mdt")) return MetadataType::CustomMetadataType;
    if (object_api_name.ends_with("__e")) return MetadataType::PlatformEvent;
    if (object_api_name.ends_with("__c")) return MetadataType::CustomObject;
    return std::nullopt;
}

}  // namespace ambrel::dependency

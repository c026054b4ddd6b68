#include "metadata/namespace_policy.hpp"

#include <array>

#include "re2/re2.h"
#include "text/text.hpp"

namespace ambrel::metadata {

namespace {

constexpr std::array<std::string_view, 3> kCustomFieldSuffixes{"__c", "__mdt", "__e"};
// Tested in this order; big objects ("__b") and external objects ("__x") are custom too.
constexpr std::array<std::string_view, 5> kCustomSuffixes{"__c", "__mdt", "__e", "__b", "__x"};

constexpr std::string_view kStandardTabPrefix = "standard-";

constexpr bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr bool is_ascii_identifier_char(char c) noexcept {
    return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_';
}

bool part_is_packaged(std::string_view part) noexcept {
    for (const auto suffix : kCustomSuffixes) {
        if (part.ends_with(suffix)) {
            part.remove_suffix(suffix.size());
            break;
        }
    }
    return part.find("__") != std::string_view::npos;
}

}  // namespace

const re2::RE2& PackagedFieldPattern::regex() const {
    static const re2::RE2 compiled{re2::StringPiece(kText.data(), kText.size())};
    return compiled;
}

bool PackagedFieldPattern::matches(std::string_view name) const {
    return re2::RE2::PartialMatch(re2::StringPiece(name.data(), name.size()), regex());
}

bool NamespacePolicy::is_packaged_field(std::string_view name) { return PACKAGED_FIELD_PATTERN.matches(name); }

domain::MetadataDeployScope NamespacePolicy::field_deploy_scope(std::string_view field_name) {
    if (!text::has_more_chars_than(field_name, 2) || is_packaged_field(field_name)) {
        return domain::MetadataDeployScope::TrackingOnly;
    }
    for (const auto suffix : kCustomFieldSuffixes) {
        if (field_name.ends_with(suffix)) return domain::MetadataDeployScope::Full;
    }
    return domain::MetadataDeployScope::TrackingOnly;
}

bool NamespacePolicy::is_standard_tab_name(std::string_view name) noexcept {
    if (name.size() <= kStandardTabPrefix.size() || !name.starts_with(kStandardTabPrefix)) return false;
    const auto rest = name.substr(kStandardTabPrefix.size());
    if (!is_ascii_letter(rest.front())) return false;
    for (char c : rest) {
        if (!is_ascii_identifier_char(c)) return false;
    }
    return true;
}

bool NamespacePolicy::is_packaged_code_component(std::string_view name) noexcept {
    return name.find("__") != std::string_view::npos;
}

bool NamespacePolicy::is_packaged_generic_component(std::string_view full_name) noexcept {
    std::size_t start = 0;
    while (true) {
        const auto dot = full_name.find('.', start);
        const auto part = full_name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part_is_packaged(part)) return true;
        if (dot == std::string_view::npos) return false;
        start = dot + 1;
    }
}

bool NamespacePolicy::is_packaged_object_child(std::string_view full_name) noexcept {
    const auto dot = full_name.find('.');
    return is_packaged_generic_component(dot == std::string_view::npos ? full_name : full_name.substr(dot + 1));
}

}  // namespace ambrel::metadata

#pragma once

// Recognising, by name alone, components that come from installed packages (a namespace prefix and
// "__" before their own name) and standard components that exist in every org. Neither kind can be
// deployed from one org to another, so neither is offered as a change.

#include <string_view>

#include "domain/difference.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::metadata {

// The packaged-name pattern "^[A-Za-z][A-Za-z0-9_]*__.+__(?:c|mdt|e)$": a namespace prefix, "__",
// at least one more character and a custom suffix at the end. Compiled once, on first use, and
// shared by all threads.
class PackagedFieldPattern {
public:
    static constexpr std::string_view kText = "^[A-Za-z][A-Za-z0-9_]*__.+__(?:c|mdt|e)$";

    // The compiled expression.
    const re2::RE2& regex() const;
    // The whole name matches.
    bool matches(std::string_view name) const;
};

inline constexpr PackagedFieldPattern PACKAGED_FIELD_PATTERN{};

// Rules without state; every operation is a pure function of the name.
class NamespacePolicy {
public:
    NamespacePolicy() = delete;

    // The name matches PACKAGED_FIELD_PATTERN.
    static bool is_packaged_field(std::string_view name);
    // For a field API name (the part after the "." of a custom field key): Full for an unpackaged
    // custom field ending in "__c", "__mdt" or "__e"; TrackingOnly for a standard field, a packaged
    // one, and any name shorter than 3 characters.
    static domain::MetadataDeployScope field_deploy_scope(std::string_view field_name);
    // "standard-" followed by an ASCII letter and then ASCII letters, digits and "_" only.
    static bool is_standard_tab_name(std::string_view name) noexcept;
    // Apex classes, triggers and the like: the name contains "__".
    static bool is_packaged_code_component(std::string_view name) noexcept;
    // Some "."-separated part of the name still contains "__" after one custom suffix ("__c",
    // "__mdt", "__e", "__b" or "__x", the first that fits) is removed from its end.
    static bool is_packaged_generic_component(std::string_view full_name) noexcept;
    // is_packaged_generic_component of the part after the first "." (the whole name without ".").
    static bool is_packaged_object_child(std::string_view full_name) noexcept;
};

}  // namespace ambrel::metadata

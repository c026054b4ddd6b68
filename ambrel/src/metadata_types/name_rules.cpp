#include "metadata_types/name_rules.hpp"

#include "cli/schema_catalog.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::metadata_types {

namespace {

constexpr bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// An ASCII letter, then ASCII letters, digits or "_" (the identifier form of flow and object names).
constexpr bool is_ascii_identifier(std::string_view name) noexcept {
    if (name.empty() || !is_ascii_letter(name.front())) return false;
    for (char c : name.substr(1)) {
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    }
    return true;
}

// The container-child rules share the field schema catalogue's safe object-name rule, which keeps
// unsafe names out of SOQL.
using cli::schema_catalog::is_safe_object_name;

// No control character, "/" or backslash: the characters that could leave a folder or break a line.
bool has_no_separator_or_control(std::string_view name) noexcept {
    return name.find_first_of("/\\") == std::string_view::npos && !text::contains_control(name);
}

bool has_white_space_at_an_end(std::string_view name) noexcept { return text::trim(name).size() != name.size(); }

constexpr std::string_view kFieldKind = "field:";
constexpr std::string_view kProfileApiName = "Profile";
constexpr std::string_view kRelatedListKind = "relatedList:";

}  // namespace

std::optional<std::pair<std::string_view, std::string_view>> split_once_dot(std::string_view text) noexcept {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    return std::pair{text.substr(0, dot), text.substr(dot + 1)};
}

bool starts_with_disk_prefix(std::string_view text) noexcept {
    return text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':';
}

bool is_safe_relative_path(std::string_view path) noexcept {
    if (path.empty() || path.front() == '/') return false;
    if (starts_with_disk_prefix(path)) return false;
    std::size_t start = 0;
    while (true) {
        const auto slash = path.find('/', start);
        const auto segment = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (segment.find('\\') != std::string_view::npos) return false;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return !text::contains_control(path);
}

bool is_safe_relative_path_for(std::string_view path, bool /*strict*/) noexcept { return is_safe_relative_path(path); }

bool is_valid_flow_full_name(std::string_view name) noexcept { return is_ascii_identifier(name); }

bool is_valid_profile_full_name(std::string_view name) noexcept {
    return !name.empty() && name != "." && name != ".." && !has_white_space_at_an_end(name) &&
           has_no_separator_or_control(name);
}

bool is_valid_layout_full_name(std::string_view name) noexcept {
    return is_valid_profile_full_name(name) && name.find('-') != std::string_view::npos;
}

bool is_valid_record_row_name(std::string_view name) noexcept {
    return !name.empty() && name.find("..") == std::string_view::npos && !has_white_space_at_an_end(name) &&
           has_no_separator_or_control(name);
}

bool is_valid_container_child_name(std::string_view name) noexcept {
    return !name.empty() && has_no_separator_or_control(name);
}

bool is_valid_container_child_full_name(std::string_view name, bool has_fixed_container) noexcept {
    if (has_fixed_container) return is_safe_object_name(name);
    const auto parts = split_once_dot(name);
    return parts.has_value() && is_safe_object_name(parts->first) && is_valid_container_child_name(parts->second);
}

std::string document_too_large_message(std::string_view where) {
    return std::string(where) + " is larger than 10 MB, the limit for one component document.";
}

bool is_object_api_name(std::string_view name) noexcept { return is_ascii_identifier(name); }

bool is_valid_generic_member_name(std::string_view name) noexcept {
    return !name.empty() && name != "." && name != ".." && has_no_separator_or_control(name);
}

bool is_valid_member_name(MetadataType type, std::string_view name) {
    if (type == MetadataType::Layout) return is_valid_layout_full_name(name);
    if (!type.is_generic()) return is_object_api_name(name);
    const TypeDescriptor& descriptor = type.descriptor();
    if (descriptor.api_name == kProfileApiName) return is_valid_profile_full_name(name);
    if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&descriptor.content_format.value)) {
        return is_valid_container_child_full_name(name, container->container.fixed_container.has_value());
    }
    const PathTemplate* path_template = descriptor.content_format.decomposed_template();
    if (path_template != nullptr && std::holds_alternative<PathTemplate::ObjectChild>(path_template->value)) {
        // The object names a folder: it keeps the object API name rule.
        const auto parts = split_once_dot(name);
        return parts.has_value() && is_object_api_name(parts->first) && is_valid_generic_member_name(parts->second);
    }
    return is_valid_generic_member_name(name);
}

std::optional<LayoutElementName> parse_layout_element_name(std::string_view name) {
    const auto separator = name.find("::");
    if (separator == std::string_view::npos || separator == 0) return std::nullopt;
    const auto rest = name.substr(separator + 2);
    LayoutElementKind kind;
    std::string_view element;
    if (rest.starts_with(kFieldKind)) {
        kind = LayoutElementKind::Field;
        element = rest.substr(kFieldKind.size());
    } else if (rest.starts_with(kRelatedListKind)) {
        kind = LayoutElementKind::RelatedList;
        element = rest.substr(kRelatedListKind.size());
    } else {
        return std::nullopt;
    }
    if (element.empty()) return std::nullopt;
    return LayoutElementName{std::string(name.substr(0, separator)), LayoutElementRef{kind, std::string(element)}};
}

namespace {

// The CustomField entry names objects; those that are neither custom metadata types nor platform
// events are the CustomObject members it implies.
std::set<std::string> derived_members(const std::set<std::string>& object_names) {
    std::set<std::string> derived;
    for (const auto& name : object_names) {
        if (!name.ends_with("__mdt") && !name.ends_with("__e")) derived.insert(derived.end(), name);
    }
    return derived;
}

}  // namespace

void apply_derived_members(std::map<MetadataType, std::set<std::string>>& selection, MetadataType changed) {
    if (changed != MetadataType::CustomField) return;
    const auto fields = selection.find(MetadataType::CustomField);
    auto derived = fields == selection.end() ? std::set<std::string>{} : derived_members(fields->second);
    if (derived.empty()) {
        selection.erase(MetadataType::CustomObject);
    } else {
        selection.insert_or_assign(MetadataType::CustomObject, std::move(derived));
    }
}

}  // namespace ambrel::metadata_types

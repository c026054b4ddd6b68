#include "app/row_policies.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <variant>

#include <fmt/format.h>

#include "comparison/engine.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/profile_reference_filter/custom_flag.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ChangeKind;
using domain::ComponentDifference;
using metadata_types::ContentFormat;
using metadata_types::MetadataType;

constexpr std::string_view kProfileWireId = "Profile";
constexpr std::string_view kLayoutElementSeparator = "::";

constexpr std::string_view kCustomMetadataTypeOnly = "Only custom metadata types can be deployed.";
constexpr std::string_view kPlatformEventOnly = "Only platform events can be deployed.";
constexpr std::string_view kStandardProfile = "A standard profile is never created in the target.";
constexpr std::string_view kPackageNotInstalled =
    "The package this object belongs to is not installed in the target org, and its object row cannot be "
    "selected because packaged objects are never created.";
constexpr std::string_view kNoSafePath =
    "This component cannot be deployed: no safe metadata file path can be derived for its name on this operating "
    "system.";

bool is_object_definition(const MetadataType& type) {
    const metadata_types::PathTemplate* path_template = type.descriptor().content_format.decomposed_template();
    return path_template != nullptr &&
           std::holds_alternative<metadata_types::PathTemplate::ObjectDefinition>(path_template->value);
}

void block(ComponentDifference& row, std::string reason) {
    row.deployable = false;
    row.block_reason = std::move(reason);
}

// The metadata file paths of a row, or none when its name renders no path.
std::optional<std::vector<std::string>> metadata_file_paths(const ContentFormat& format, std::string_view name) {
    struct Paths {
        std::string_view name;
        std::optional<std::vector<std::string>> operator()(const ContentFormat::DecomposedXml& xml) const {
            auto path = xml.path_template.render(name);
            if (!path) return std::nullopt;
            return std::vector<std::string>{std::move(*path)};
        }
        std::optional<std::vector<std::string>> operator()(const ContentFormat::ContainerDocument& container) const {
            auto path = metadata_types::PathTemplate{container.container}.render(name);
            if (!path) return std::nullopt;
            return std::vector<std::string>{std::move(*path)};
        }
        std::optional<std::vector<std::string>> operator()(const ContentFormat::SourceFile& source) const {
            if (name.empty()) return std::nullopt;
            return std::vector<std::string>{fmt::format("{}/{}.{}-meta.xml", source.directory, name, source.suffix),
                                            fmt::format("{}/{}.{}", source.directory, name, source.suffix)};
        }
        std::optional<std::vector<std::string>> operator()(const ContentFormat::Bundle& bundle) const {
            if (name.empty()) return std::vector<std::string>{};
            return std::vector<std::string>{fmt::format("{}/{}", bundle.directory, name)};
        }
    };
    return std::visit(Paths{name}, format.value);
}

}  // namespace

std::string escape_path_for_message(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    std::size_t at = 0;
    while (at < path.size()) {
        const text::DecodedChar decoded = text::decode_at(path, at);
        const char32_t c = decoded.value;
        switch (c) {
            case U'\\':
                out.append("\\\\");
                break;
            case U'\'':
                out.append("\\'");
                break;
            case U'"':
                out.append("\\\"");
                break;
            case U'\0':
                out.append("\\0");
                break;
            case U'\t':
                out.append("\\t");
                break;
            case U'\r':
                out.append("\\r");
                break;
            case U'\n':
                out.append("\\n");
                break;
            default:
                if (text::is_control(c)) {
                    out.append(fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c)));
                } else if (decoded.valid) {
                    out.append(path.substr(at, decoded.length));
                } else {
                    text::append_utf8(out, c);
                }
        }
        at += decoded.length;
    }
    return out;
}

void apply_object_definition_policy(std::vector<ComponentDifference>& rows) {
    for (ComponentDifference& row : rows) {
        const MetadataType type = row.key().metadata_type;
        std::string_view suffix;
        if (type == MetadataType::CustomObject) {
            suffix = "__c";
        } else if (type == MetadataType::CustomMetadataType) {
            suffix = "__mdt";
        } else if (type == MetadataType::PlatformEvent) {
            suffix = "__e";
        } else {
            continue;
        }
        if (row.key().name.ends_with(suffix)) continue;
        if (type == MetadataType::CustomObject) {
            // A standard object is never deployed itself; its row carries permissions only.
            row.change = ChangeKind::NoChange;
            row.deploy_scope = domain::MetadataDeployScope::PermissionsOnly;
            row.attribute_differences.clear();
            row.definition_changed = false;
        } else if (type == MetadataType::CustomMetadataType) {
            block(row, std::string(kCustomMetadataTypeOnly));
        } else {
            block(row, std::string(kPlatformEventOnly));
        }
    }
}

void apply_standard_profile_policy(std::vector<ComponentDifference>& rows) {
    const std::optional<MetadataType> profile = metadata_types::metadata_type_by_wire_id(kProfileWireId);
    if (!profile) return;
    for (ComponentDifference& row : rows) {
        if (row.key().metadata_type != *profile || row.change != ChangeKind::Add || !row.deployable) continue;
        auto flag = metadata::profile_reference_filter::profile_custom_flag(row.source.document);
        if (flag && *flag && **flag) continue;
        block(row, std::string(kStandardProfile));
    }
}

void apply_field_unblock_policy(std::vector<ComponentDifference>& rows) {
    std::set<std::string, std::less<>> created_objects;
    for (const ComponentDifference& row : rows) {
        if (row.change == ChangeKind::Add && row.deployable && is_object_definition(row.key().metadata_type)) {
            created_objects.insert(row.key().name);
        }
    }
    for (ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField) continue;
        if (!row.block_reason || *row.block_reason != comparison::kTargetObjectMissing) continue;
        const std::string object = row.key().to_field_key().object_api_name;
        if (created_objects.contains(object)) {
            row.deployable = true;
            row.block_reason.reset();
        } else if (metadata::PACKAGED_FIELD_PATTERN.matches(object)) {
            row.block_reason = std::string(kPackageNotInstalled);
        }
    }
}

void apply_path_safety_policy(std::vector<ComponentDifference>& rows, metadata_types::LayoutComparisonMode mode) {
    for (ComponentDifference& row : rows) {
        if (!row.deployable) continue;
        std::string_view name = row.key().name;
        if (row.key().metadata_type == MetadataType::Layout && mode == metadata_types::LayoutComparisonMode::Elements) {
            name = name.substr(0, name.find(kLayoutElementSeparator));
        }
        auto paths = metadata_file_paths(row.key().metadata_type.descriptor().content_format, name);
        if (!paths) {
            block(row, std::string(kNoSafePath));
            continue;
        }
        for (const std::string& path : *paths) {
            if (!metadata_types::is_safe_relative_path_for(path, false)) {
                block(row, fmt::format("This component cannot be deployed from this operating system: its metadata file "
                                       "path '{}' is not a safe path here.",
                                       escape_path_for_message(path)));
                break;
            }
        }
    }
}

}  // namespace ambrel::app

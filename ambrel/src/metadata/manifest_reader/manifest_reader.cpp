#include "metadata/manifest_reader/manifest_reader.hpp"

#include <optional>
#include <system_error>

#include <fmt/format.h>

#include "dependency/warnings.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::manifest_reader {
namespace {

using metadata_types::MetadataType;

constexpr std::string_view kRootName = "Package";
constexpr std::string_view kTypesName = "types";
constexpr std::string_view kNameName = "name";
constexpr std::string_view kMembersName = "members";
constexpr std::string_view kWildcard = "*";

constexpr std::string_view kRootMustBePackage = "root element must be Package";
constexpr std::string_view kNoTypeName = "a types section has no name";
constexpr std::string_view kDoctypeRefused = "doctype is not allowed";
constexpr std::string_view kUnexpectedEnd = "unexpected end of document";

ManifestReadError parse_error(std::string reason) { return ManifestReadError::Parse{std::move(reason)}; }

// The walk over one document's events (see parse_package_xml).
class SectionCollector {
public:
    // Done once a lone self-closing root was seen.
    bool finished() const noexcept { return finished_; }

    std::expected<void, ManifestReadError> on_event(const xml::Event& event) {
        switch (event.kind) {
            case xml::EventKind::Start: return on_start(event.local_name());
            case xml::EventKind::Empty: return on_empty(event.local_name());
            case xml::EventKind::End: return on_end();
            case xml::EventKind::Text:
                if (capture_) capture_->text.append(event.raw);
                return {};
            case xml::EventKind::CData:
                if (capture_) capture_->text.append(event.content);
                return {};
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef: return on_reference(event);
            case xml::EventKind::DocType: return std::unexpected(parse_error(std::string(kDoctypeRefused)));
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
            case xml::EventKind::Eof: return {};
        }
        return {};
    }

    std::expected<ParsedManifest, ManifestReadError> finish() {
        if (!finished_ && depth_ != 0) return std::unexpected(parse_error(std::string(kUnexpectedEnd)));
        return ParsedManifest{std::move(sections_)};
    }

private:
    struct Capture {
        bool is_name = false;
        std::string text;
    };

    std::expected<void, ManifestReadError> on_start(std::string_view name) {
        if (depth_ == 0) {
            if (name != kRootName) return std::unexpected(parse_error(std::string(kRootMustBePackage)));
        } else if (depth_ == 1 && name == kTypesName) {
            in_types_ = true;
            section_name_.reset();
            members_.clear();
        } else if (depth_ == 2 && in_types_ && !capture_ && (name == kNameName || name == kMembersName)) {
            capture_ = Capture{name == kNameName, {}};
        }
        ++depth_;
        return {};
    }

    std::expected<void, ManifestReadError> on_empty(std::string_view name) {
        if (depth_ == 0) {
            if (name != kRootName) return std::unexpected(parse_error(std::string(kRootMustBePackage)));
            finished_ = true;
            sections_.clear();
            return {};
        }
        if ((depth_ == 1 && name == kTypesName) || (depth_ == 2 && in_types_ && name == kNameName)) {
            return std::unexpected(parse_error(std::string(kNoTypeName)));
        }
        return {};
    }

    std::expected<void, ManifestReadError> on_end() {
        if (depth_ > 0) --depth_;
        if (depth_ == 2 && capture_) {
            const std::string_view trimmed = text::trim(capture_->text);
            if (!trimmed.empty()) {
                if (!capture_->is_name) {
                    members_.emplace_back(trimmed);
                } else if (!section_name_) {
                    section_name_ = std::string(trimmed);
                }
            }
            capture_.reset();
        } else if (depth_ == 1 && in_types_) {
            if (!section_name_) return std::unexpected(parse_error(std::string(kNoTypeName)));
            sections_.push_back(ManifestSection{std::move(*section_name_), std::move(members_)});
            in_types_ = false;
            section_name_.reset();
            members_ = {};
        }
        return {};
    }

    std::expected<void, ManifestReadError> on_reference(const xml::Event& event) {
        if (!capture_) return {};
        if (event.kind == xml::EventKind::CharRef) {
            const auto character = xml::decode_char_ref(event.name);
            if (!character) return std::unexpected(parse_error(character.error().message()));
            text::append_utf8(capture_->text, *character);
            return {};
        }
        const auto predefined = xml::predefined_entity(event.name);
        if (!predefined) return std::unexpected(parse_error(fmt::format("unknown entity: {}", event.name)));
        capture_->text += *predefined;
        return {};
    }

    std::size_t depth_ = 0;
    bool in_types_ = false;
    bool finished_ = false;
    std::optional<std::string> section_name_;
    std::vector<std::string> members_;
    std::optional<Capture> capture_;
    std::vector<ManifestSection> sections_;
};

// The fixed types in catalogue order, searched by their package.xml type name before the registry.
constexpr MetadataType kFixedTypes[] = {
    MetadataType::CustomField,  MetadataType::CustomObject,
    MetadataType::CustomMetadataType, MetadataType::PlatformEvent,
    MetadataType::ApexClass,    MetadataType::ApexTrigger,
    MetadataType::LightningComponentBundle, MetadataType::AuraDefinitionBundle,
    MetadataType::ApexPage,     MetadataType::Layout,
    MetadataType::Flow,         MetadataType::ProductBundle,
    MetadataType::ConstraintModel,
};

std::optional<MetadataType> section_type(std::string_view name) {
    for (const MetadataType type : kFixedTypes) {
        if (manifest::package_type_name(type) == name) return type;
    }
    return MetadataType::from_api_name(name);
}

bool is_packaged_member(MetadataType type, std::string_view member) {
    if (type == MetadataType::Layout) return layout_reader::is_packaged_layout(member);
    if (type.is_generic()) {
        const auto* format = std::get_if<metadata_types::ContentFormat::DecomposedXml>(
            &type.descriptor().content_format.value);
        if (format != nullptr &&
            std::holds_alternative<metadata_types::PathTemplate::ObjectChild>(format->path_template.value)) {
            return NamespacePolicy::is_packaged_object_child(member);
        }
        return NamespacePolicy::is_packaged_generic_component(member);
    }
    return NamespacePolicy::is_packaged_code_component(member);
}

std::string namespaced_note(std::string_view member) {
    return fmt::format("Member '{}' is namespaced and was skipped.", member);
}

void map_custom_field_section(const ManifestSection& section, ManifestMapping& mapping) {
    for (const std::string& member : section.members) {
        if (member == kWildcard) {
            mapping.wildcard_types.insert(MetadataType::CustomField);
        } else if (const auto parts = metadata_types::split_once_dot(member)) {
            if (PACKAGED_FIELD_PATTERN.matches(parts->second)) {
                mapping.notes.push_back(namespaced_note(member));
            } else {
                mapping.notes.push_back(
                    fmt::format("Field member '{}' was widened to object '{}'.", member, parts->first));
                mapping.selection[MetadataType::CustomField].emplace(parts->first);
            }
        } else {
            mapping.selection[MetadataType::CustomField].insert(member);
        }
    }
}

void map_custom_object_section(const ManifestSection& section, ManifestMapping& mapping) {
    for (const std::string& member : section.members) {
        if (member == kWildcard) {
            mapping.wildcard_types.insert({MetadataType::CustomObject, MetadataType::CustomMetadataType,
                                           MetadataType::PlatformEvent, MetadataType::CustomField});
            continue;
        }
        const auto definition = dependency::object_definition_type(member);
        if (definition == MetadataType::CustomMetadataType || definition == MetadataType::PlatformEvent) {
            mapping.selection[*definition].insert(member);
        }
        mapping.selection[MetadataType::CustomField].insert(member);
    }
}

}  // namespace

std::string ManifestReadError::message() const {
    struct Texts {
        std::string operator()(const Read& read) const {
            return fmt::format("Could not read the manifest file: {}", read.detail);
        }
        std::string operator()(const TooLarge&) const { return "The manifest file is too large (limit 5 MB)."; }
        std::string operator()(const Parse& parse) const {
            return fmt::format("Could not parse package.xml: {}", parse.reason);
        }
    };
    return std::visit(Texts{}, variant_);
}

std::expected<ParsedManifest, ManifestReadError> read_package_manifest(const std::filesystem::path& path) {
    // One bounded read of an opened regular file: a stat before a read would let a FIFO hang the
    // import and a device or a growing file be read without bound.
    auto bytes = platform_fs::files::read_regular_file(path, kMaxManifestBytes, platform_fs::files::LinkPolicy::Followed);
    if (!bytes) {
        if (bytes.error() == std::errc::file_too_large) return std::unexpected(ManifestReadError(ManifestReadError::TooLarge{}));
        if (bytes.error() == std::errc::invalid_argument) {
            return std::unexpected(ManifestReadError(ManifestReadError::Read{std::string(kNotARegularFile)}));
        }
        return std::unexpected(ManifestReadError(ManifestReadError::Read{bytes.error().message()}));
    }
    if (const auto valid = text::validate_utf8(*bytes); !valid) {
        return std::unexpected(ManifestReadError(ManifestReadError::Read{valid.error().message()}));
    }
    return parse_package_xml(*bytes);
}

std::expected<ParsedManifest, ManifestReadError> parse_package_xml(std::string_view document) {
    xml::Reader reader(document);
    SectionCollector collector;
    while (true) {
        auto event = reader.next();
        if (!event) return std::unexpected(parse_error(event.error().message()));
        if (auto handled = collector.on_event(*event); !handled) return std::unexpected(std::move(handled.error()));
        if (collector.finished() || event->kind == xml::EventKind::Eof) break;
    }
    return collector.finish();
}

std::expected<std::string, ManifestReadError> local_name(std::string_view bytes) {
    if (const auto valid = text::validate_utf8(bytes); !valid) return std::unexpected(parse_error(valid.error().message()));
    return std::string(bytes);
}

ManifestMapping map_manifest_sections(const ParsedManifest& manifest) {
    ManifestMapping mapping;
    for (const ManifestSection& section : manifest.sections) {
        if (section.name == "CustomField") {
            map_custom_field_section(section, mapping);
            continue;
        }
        if (section.name == "CustomObject") {
            map_custom_object_section(section, mapping);
            continue;
        }
        const auto type = section_type(section.name);
        if (!type) {
            mapping.notes.push_back(fmt::format("Manifest type '{}' is not supported and was skipped.", section.name));
            continue;
        }
        // The type's set is looked up once per section and made only when a name is selected.
        std::set<std::string>* selected = nullptr;
        for (const std::string& member : section.members) {
            if (member == kWildcard) {
                mapping.wildcard_types.insert(*type);
            } else if (is_packaged_member(*type, member)) {
                mapping.notes.push_back(namespaced_note(member));
            } else {
                if (selected == nullptr) selected = &mapping.selection[*type];
                selected->insert(member);
            }
        }
    }
    return mapping;
}

}  // namespace ambrel::metadata::manifest_reader

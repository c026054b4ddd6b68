#pragma once

// The static description of a metadata type: where its files lie in an SFDX source tree, how its
// components are listed in an org, which attributes a comparison reads, how it is labelled and
// grouped on the selection screen, and a few behaviour flags. Every row is constant data.

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata_types {

// Which listed member names belong to a type.
struct NameFilter {
    struct None {};
    struct RequiredSuffix {
        std::string_view suffix;
    };
    struct ExcludedSuffixes {
        std::span<const std::string_view> suffixes;
    };

    std::variant<None, RequiredSuffix, ExcludedSuffixes> value;

    // Step 1 of the listing admission: the name passes the filter.
    bool admits(std::string_view name) const noexcept;
};

// How the relative path of a metadata XML document is made from a component's full name.
struct PathTemplate {
    // "objects/{object}/fields/{field}.field-meta.xml"
    struct CustomField {};
    // "objects/{name}/{name}.object-meta.xml"
    struct ObjectDefinition {};
    // "layouts/{name}.layout-meta.xml"
    struct Layout {};
    // "flows/{name}.flow-meta.xml"
    struct Flow {};
    // "{directory}/{name}.{suffix}-meta.xml"
    struct DirectorySuffix {
        std::string_view directory;
        std::string_view suffix;
    };
    // "objects/{object}/{directory}/{child}.{suffix}-meta.xml"
    struct ObjectChild {
        std::string_view directory;
        std::string_view suffix;
    };
    // "{directory}/{container}.{suffix}-meta.xml", where the container is the fixed one when set,
    // else the part of the full name before the first ".".
    struct ContainerChild {
        std::optional<std::string_view> fixed_container;
        std::string_view directory;
        std::string_view suffix;
    };

    std::variant<CustomField, ObjectDefinition, Layout, Flow, DirectorySuffix, ObjectChild, ContainerChild> value;

    // The relative path of the document of the component with this full name; none when the name
    // breaks the template's rules or (for the directory, object-child and container templates) the
    // path would not be a safe relative path.
    std::optional<std::string> render(std::string_view full_name) const;
};

// The error of ContentFormat::decomposed_path for bundles, which have no single document.
struct BundleUnsupported {
    // "BundleUnsupported"
    std::string message() const;
    friend bool operator==(const BundleUnsupported&, const BundleUnsupported&) = default;
};

// Where a type's files lie.
struct ContentFormat {
    // One metadata XML document.
    struct DecomposedXml {
        PathTemplate path_template;
        std::string_view root_element;
    };
    // A source file with a "-meta.xml" sidecar.
    struct SourceFile {
        std::string_view directory;
        std::string_view suffix;
        std::string_view root_type;
    };
    // A child element inside a container document.
    struct ContainerDocument {
        PathTemplate::ContainerChild container;
        std::string_view container_type;
        std::string_view child_element;
    };
    // A directory of files per component under the folder.
    struct Bundle {
        std::string_view directory;
    };

    std::variant<DecomposedXml, SourceFile, ContainerDocument, Bundle> value;

    // The path of the component's metadata XML document.
    std::expected<std::optional<std::string>, BundleUnsupported> decomposed_path(std::string_view full_name) const;
    // The document a user may edit (the source file itself for SourceFile).
    std::optional<std::string> edited_document_path(std::string_view full_name) const;
    // The source body file (SourceFile only).
    std::optional<std::string> body_path(std::string_view full_name) const;
    // "{directory}/{bundle}/{file}" (Bundle only; both names non-empty). Not checked for safety.
    std::optional<std::string> bundle_file_path(std::string_view bundle_name, std::string_view file_name) const;

    // The template of a DecomposedXml format, else null.
    const PathTemplate* decomposed_template() const noexcept;
};

// How the components of a type are listed in an org. Ordered (the key of listing caches): by
// strategy, then by the Metadata API type name or the Revenue Cloud record kind, so two types
// listed through different Metadata API types never share a cache entry.
struct ListingStrategy {
    // From the org's object listing.
    struct Objects {
        friend constexpr auto operator<=>(const Objects&, const Objects&) = default;
    };
    // Through the Metadata API listing of one type.
    struct MetadataApi {
        std::string_view type_name;
        friend constexpr auto operator<=>(const MetadataApi&, const MetadataApi&) = default;
    };
    // Revenue Cloud records: 0 product bundles, 1 constraint models.
    struct RevenueCloud {
        std::uint8_t kind;
        friend constexpr auto operator<=>(const RevenueCloud&, const RevenueCloud&) = default;
    };

    std::variant<Objects, MetadataApi, RevenueCloud> value;

    friend constexpr bool operator==(const ListingStrategy&, const ListingStrategy&) = default;
    friend constexpr std::strong_ordering operator<=>(const ListingStrategy& a, const ListingStrategy& b) {
        return a.value <=> b.value;
    }
};

// One attribute compared per component.
struct AttributeSpec {
    std::string_view element;  // XML element name
    std::string_view label;    // display label
    bool numeric;              // compared as integers
};

// What counts as a component's container.
enum class ContainerScope : std::uint8_t {
    ObjectPart,  // the part of the name before the first "."
    WholeName,   // the whole name
};

struct TypeDescriptor {
    NameFilter name_filter;
    ContentFormat content_format;
    ListingStrategy listing_strategy;
    // Type name for the Metadata API listing; present exactly for the MetadataApi strategy.
    std::optional<std::string_view> listing_type_name;
    // Metadata API type name (package.xml name; the wire id of generic types).
    std::string_view api_name;
    std::span<const AttributeSpec> attributes;
    std::string_view plural_label;
    std::string_view singular_label;
    std::optional<std::string_view> parent_type;
    // Label of the selection entry standing for the type, when it differs from the plural label.
    std::optional<std::string_view> group_label;
    bool selectable;
    // Clear only for ProductBundle and ConstraintModel.
    bool deploys_through_metadata_api;
    // Deploying the type routes through the Apex test screen.
    bool opens_test_screen;
    // Set only for ApexClass and ApexTrigger.
    bool apex_code;
    // The comparison also compares the whole metadata document.
    bool compares_document;
    ContainerScope container_scope;
    MetadataCategory category;
};

// Page layouts compared as one document or element by element.
class LayoutComparisonMode {
public:
    enum Value : std::uint8_t {
        Whole,     // "whole"
        Elements,  // "elements"
    };

    constexpr LayoutComparisonMode(Value value) noexcept : value_(value) {}
    constexpr operator Value() const noexcept { return value_; }

    // "whole" and "elements" exactly (case counts); none otherwise.
    static std::optional<LayoutComparisonMode> from_wire_id(std::string_view id) noexcept;
    std::string_view wire_id() const noexcept;

private:
    Value value_;
};

}  // namespace ambrel::metadata_types

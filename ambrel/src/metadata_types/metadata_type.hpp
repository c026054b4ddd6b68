#pragma once

// MetadataType: the identity of a kind of component. Thirteen fixed kinds, one kind per row of the
// generic Metadata API table (by index) and one kind per record-data object (by index into
// data::registry::DATA_OBJECTS). A small copyable value: a kind and a 16-bit index.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace ambrel::metadata_types {

struct TypeDescriptor;

// Number of rows of the generic Metadata API table.
inline constexpr std::size_t kGenericTypeCount = 151;
// Number of record-data objects (rows of data::registry::DATA_OBJECTS).
inline constexpr std::size_t kDataRecordTypeCount = 33;

// The groups of the selection screen, in screen order.
enum class MetadataCategory : std::uint8_t {
    Core,
    ObjectsAndFields,
    Code,
    UiAndNavigation,
    Automation,
    SecurityAndSharing,
    IntegrationAndAuth,
    ServiceCloud,
    ExperienceCloud,
    Analytics,
    SalesCloud,
    EmailAndTemplates,
    Localization,
    Mobile,
    MarketingAndDataCloud,
    RevenueCloud,
    Legacy,
};

inline constexpr std::size_t kMetadataCategoryCount = 17;

// "Core", "ObjectsAndFields", …
std::string_view wire_id(MetadataCategory category) noexcept;
// "Core", "Objects & Fields", …
std::string_view label(MetadataCategory category) noexcept;
// Exact match of a wire id; none otherwise.
std::optional<MetadataCategory> metadata_category_from_wire_id(std::string_view id) noexcept;

class MetadataType {
public:
    // The variants, in the order in which types sort.
    enum class Kind : std::uint8_t {
        CustomField,
        CustomObject,
        CustomMetadataType,
        PlatformEvent,
        ApexClass,
        ApexTrigger,
        LightningComponentBundle,
        AuraDefinitionBundle,
        ApexPage,
        Layout,
        Flow,
        ProductBundle,
        ConstraintModel,
        Generic,
        DataRecord,
    };

    static const MetadataType CustomField;
    static const MetadataType CustomObject;
    static const MetadataType CustomMetadataType;
    static const MetadataType PlatformEvent;
    static const MetadataType ApexClass;
    static const MetadataType ApexTrigger;
    static const MetadataType LightningComponentBundle;
    static const MetadataType AuraDefinitionBundle;
    static const MetadataType ApexPage;
    static const MetadataType Layout;
    static const MetadataType Flow;
    static const MetadataType ProductBundle;
    static const MetadataType ConstraintModel;

    // The generic row at `index` (0 to 150). An index out of range is a programming error.
    static constexpr MetadataType Generic(std::size_t index);
    // The record-data object at `index` into DATA_OBJECTS (0 to 32). Out of range: programming error.
    static constexpr MetadataType DataRecord(std::size_t index);

    constexpr Kind kind() const noexcept { return kind_; }
    // The row index of a Generic or DataRecord type; 0 for the fixed kinds.
    constexpr std::uint16_t index() const noexcept { return index_; }
    constexpr bool is_generic() const noexcept { return kind_ == Kind::Generic; }
    constexpr bool is_data_record() const noexcept { return kind_ == Kind::DataRecord; }

    // The type's name on the wire: the fixed kind's name, a generic row's API name, or the
    // record-data object's API name.
    std::string_view wire_id() const;

    // The static row describing the type. A DataRecord type has none: programming error.
    const TypeDescriptor& descriptor() const;

    // The 13 fixed wire ids (case counts), then a generic API name, then a record-data object name.
    static std::optional<MetadataType> from_wire_id(std::string_view id);
    // A Metadata API type name as written in package manifests. CustomMetadataType, PlatformEvent,
    // ProductBundle and ConstraintModel are never the answer ("CustomObject" gives CustomObject).
    static std::optional<MetadataType> from_api_name(std::string_view api_name);

    // Offered on the selection screen; DataRecord types always are.
    bool is_selectable() const;
    // Group label when the descriptor has one, else the plural label; DataRecord: the object's
    // plural label.
    std::string_view selection_label() const;
    // Deploying the type routes through the Apex test screen. DataRecord: programming error.
    bool opens_test_screen() const;
    // DataRecord types belong to RevenueCloud.
    MetadataCategory category() const;
    // CustomObject, CustomMetadataType, PlatformEvent. DataRecord: programming error.
    bool is_object_definition() const;
    // CustomField and the object-child generic rows. DataRecord: programming error.
    bool is_object_child_or_field() const;
    // Whether a member name from an org listing belongs to this type. DataRecord: programming error.
    bool object_listing_admits(std::string_view member_name) const;

    friend constexpr bool operator==(const MetadataType&, const MetadataType&) = default;
    // Kind in declared order, then index.
    friend constexpr std::strong_ordering operator<=>(const MetadataType&, const MetadataType&) = default;

private:
    constexpr MetadataType(Kind kind, std::uint16_t index) noexcept : kind_(kind), index_(index) {}

    [[noreturn]] static void fail_generic_index();
    [[noreturn]] static void fail_data_record_index();

    Kind kind_;
    std::uint16_t index_;
};

inline constexpr MetadataType MetadataType::CustomField{Kind::CustomField, 0};
inline constexpr MetadataType MetadataType::CustomObject{Kind::CustomObject, 0};
inline constexpr MetadataType MetadataType::CustomMetadataType{Kind::CustomMetadataType, 0};
inline constexpr MetadataType MetadataType::PlatformEvent{Kind::PlatformEvent, 0};
inline constexpr MetadataType MetadataType::ApexClass{Kind::ApexClass, 0};
inline constexpr MetadataType MetadataType::ApexTrigger{Kind::ApexTrigger, 0};
inline constexpr MetadataType MetadataType::LightningComponentBundle{Kind::LightningComponentBundle, 0};
inline constexpr MetadataType MetadataType::AuraDefinitionBundle{Kind::AuraDefinitionBundle, 0};
inline constexpr MetadataType MetadataType::ApexPage{Kind::ApexPage, 0};
inline constexpr MetadataType MetadataType::Layout{Kind::Layout, 0};
inline constexpr MetadataType MetadataType::Flow{Kind::Flow, 0};
inline constexpr MetadataType MetadataType::ProductBundle{Kind::ProductBundle, 0};
inline constexpr MetadataType MetadataType::ConstraintModel{Kind::ConstraintModel, 0};

constexpr MetadataType MetadataType::Generic(std::size_t index) {
    if (index >= kGenericTypeCount) fail_generic_index();
    return MetadataType{Kind::Generic, static_cast<std::uint16_t>(index)};
}

constexpr MetadataType MetadataType::DataRecord(std::size_t index) {
    if (index >= kDataRecordTypeCount) fail_data_record_index();
    return MetadataType{Kind::DataRecord, static_cast<std::uint16_t>(index)};
}

// The generic row with exactly this API name (byte-wise), if any.
std::optional<MetadataType> generic_type_by_api_name(std::string_view api_name);
// Same as MetadataType::from_wire_id.
std::optional<MetadataType> metadata_type_by_wire_id(std::string_view id);
// The 13 fixed types in kind order, then Generic 0 to 150. No DataRecord types.
const std::vector<MetadataType>& all_metadata_types();

}  // namespace ambrel::metadata_types

template <>
struct std::hash<ambrel::metadata_types::MetadataType> {
    std::size_t operator()(const ambrel::metadata_types::MetadataType& type) const noexcept {
        return (static_cast<std::size_t>(type.kind()) << 16) | type.index();
    }
};

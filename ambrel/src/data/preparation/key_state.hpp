#pragma once

// The key state of one record-data object in one org. Plain data, in this variant order.

#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace ambrel::data::preparation {

struct KeyState {
    // "objectAbsent": the org does not have the object.
    struct ObjectAbsent {
        bool operator==(const ObjectAbsent&) const = default;
    };
    // "notCustomizable": matched by its composite natural-key fields, never keyed.
    struct NotCustomizable {
        std::span<const std::string_view> composite_fields;
        // Equal when both name the same static list of the registry.
        bool operator==(const NotCustomizable& other) const {
            return composite_fields.data() == other.composite_fields.data() &&
                   composite_fields.size() == other.composite_fields.size();
        }
    };
    // "ownFieldPresent": the object has the own external-id field.
    struct OwnFieldPresent {
        bool operator==(const OwnFieldPresent&) const = default;
    };
    // "foreignFieldAccepted": an existing custom external-id field of both orgs serves as key.
    struct ForeignFieldAccepted {
        std::string field;
        bool operator==(const ForeignFieldAccepted&) const = default;
    };
    // "fieldMissing": the own field has to be created.
    struct FieldMissing {
        bool operator==(const FieldMissing&) const = default;
    };

    std::variant<ObjectAbsent, NotCustomizable, OwnFieldPresent, ForeignFieldAccepted, FieldMissing> value;

    bool operator==(const KeyState&) const = default;

    // OwnFieldPresent, ForeignFieldAccepted and FieldMissing: the object can carry a key field.
    bool is_keyable() const noexcept;
};

// The own external-id field that preparation creates.
inline constexpr std::string_view kOwnExternalIdField = "QuillaryExternalId__c";

// The sentence naming a key state: "Not present in this org", "Not customizable — matched by {}" (the
// composite fields joined by " + "), "Quillary external ID is already in place", "Existing external ID {}
// will be used", "Quillary external ID will be created".
std::string key_state_label(const KeyState& state);

}  // namespace ambrel::data::preparation

#include "data/preparation/key_state.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace ambrel::data::preparation {

bool is_keyable(const KeyState& state) noexcept {
    return std::holds_alternative<KeyState::OwnFieldPresent>(state.value) ||
           std::holds_alternative<KeyState::ForeignFieldAccepted>(state.value) ||
           std::holds_alternative<KeyState::FieldMissing>(state.value);
}

std::optional<std::string_view> key_field_of(const KeyState& state) noexcept {
    if (const auto* foreign = std::get_if<KeyState::ForeignFieldAccepted>(&state.value)) return foreign->field;
    if (std::holds_alternative<KeyState::OwnFieldPresent>(state.value) ||
        std::holds_alternative<KeyState::FieldMissing>(state.value)) {
        return kOwnField;
    }
    return std::nullopt;
}

std::string key_state_label(const KeyState& state) {
    if (std::holds_alternative<KeyState::ObjectAbsent>(state.value)) return "Not present in this org";
    if (const auto* composite = std::get_if<KeyState::NotCustomizable>(&state.value)) {
        return fmt::format("Not customizable \u2014 matched by {}", fmt::join(composite->composite_fields, " + "));
    }
    if (std::holds_alternative<KeyState::OwnFieldPresent>(state.value)) return "Quillary external ID is already in place";
    if (const auto* foreign = std::get_if<KeyState::ForeignFieldAccepted>(&state.value)) {
        return fmt::format("Existing external ID {} will be used", foreign->field);
    }
    return "Quillary external ID will be created";
}

}  // namespace ambrel::data::preparation

#include "data/bundles/synthesis/record_channels.hpp"

#include <fmt/format.h>

namespace ambrel::data::bundles::synthesis {
namespace {

std::string string_member(const json::Object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (value != nullptr && value->is_string()) {
        return std::string(value->get_string());
    }
    return {};
}

CompositeError error_of(const json::Value& value) {
    CompositeError error;
    const auto* object = value.if_object();
    if (object == nullptr) {
        return error;
    }
    error.status_code = string_member(*object, "statusCode");
    error.message = string_member(*object, "message");
    if (const auto* fields = object->if_contains("fields"); fields != nullptr && fields->is_array()) {
        for (const auto& field : fields->get_array()) {
            if (field.is_string()) {
                error.fields.emplace_back(field.get_string());
            }
        }
    }
    return error;
}

CompositeOutcome outcome_of(const json::Object& object) {
    CompositeOutcome outcome;
    if (const auto* errors = object.if_contains("errors"); errors != nullptr && errors->is_array()) {
        for (const auto& element : errors->get_array()) {
            outcome.errors.push_back(error_of(element));
        }
    }
    if (const auto* id = object.if_contains("id"); id != nullptr && id->is_string()) {
        outcome.id = std::string(id->get_string());
    }
    const auto* success = object.if_contains("success");
    outcome.success = success != nullptr && success->is_bool() && success->get_bool();
    return outcome;
}

}  // namespace

std::expected<std::vector<CompositeOutcome>, std::string> parse_composite_outcomes(const json::Value& body,
                                                                                   std::size_t expected) {
    const auto* array = body.if_array();
    if (array == nullptr) {
        return std::unexpected(std::string(kNotAnArrayReason));
    }
    if (array->size() != expected) {
        return std::unexpected(fmt::format(fmt::runtime(kOutcomeCountReasonFormat), array->size(), expected));
    }
    std::vector<CompositeOutcome> outcomes;
    outcomes.reserve(array->size());
    for (const auto& element : *array) {
        const auto* object = element.if_object();
        if (object == nullptr) {
            return std::unexpected(std::string(kOutcomeNotObjectReason));
        }
        outcomes.push_back(outcome_of(*object));
    }
    return outcomes;
}

}  // namespace ambrel::data::bundles::synthesis

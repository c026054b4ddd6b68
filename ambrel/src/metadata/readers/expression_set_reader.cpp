#include "metadata/readers/expression_set_reader.hpp"

#include <array>
#include <vector>

#include "metadata/namespace_policy.hpp"

namespace ambrel::metadata::expression_set_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::array<std::string_view, 2> kRoots = {"ExpressionSetDefinition", "ExpressionSetDefinitionVersion"};
constexpr std::string_view kParameters = "parameters";
constexpr std::string_view kName = "name";
constexpr std::string_view kType = "type";
constexpr std::string_view kValue = "value";
constexpr std::string_view kContextDefinitions = "contextDefinitions";
constexpr std::array<std::string_view, 2> kTableParameterNames = {"DTName", "LookUpApiName"};
constexpr std::string_view kLiteralType = "Literal";
constexpr std::string_view kStandardContextSuffix = "__stdctx";

enum Capture : CaptureKind { kNone, kParameterName, kParameterType, kParameterValue, kContextDefinition };

bool is_parameters(const OpenElement& element) noexcept {
    return element.in_metadata_namespace && element.local_name == kParameters;
}

bool names_a_table(const PendingParameters& parameters) {
    if (!parameters.name || (*parameters.name != kTableParameterNames[0] && *parameters.name != kTableParameterNames[1])) {
        return false;
    }
    return parameters.type == kLiteralType && parameters.value && !parameters.value->empty();
}

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        if (!element.in_metadata_namespace) return kNone;
        if (element.local_name == kParameters) {
            pending_.emplace_back();
            return kNone;
        }
        // name, type and value count under a parameters parent at any depth; nothing above it matters.
        if (is_parameters(open.back())) {
            if (element.local_name == kName) return kParameterName;
            if (element.local_name == kType) return kParameterType;
            if (element.local_name == kValue) return kParameterValue;
        }
        if (open.size() == 1 && open.front().in_metadata_namespace && element.local_name == kContextDefinitions) {
            return kContextDefinition;
        }
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kContextDefinition) {
            if (value.empty() || value.ends_with(kStandardContextSuffix) ||
                NamespacePolicy::is_packaged_generic_component(value)) {
                return;
            }
            result.context_definitions.emplace(value);
            return;
        }
        // A parameter child is only captured with its parameters element open, so a record exists.
        if (pending_.empty()) return;
        PendingParameters& parameters = pending_.back();
        if (kind == kParameterName) parameters.name = std::string(value);
        if (kind == kParameterType) parameters.type = std::string(value);
        if (kind == kParameterValue) parameters.value = std::string(value);
    }

    void on_end(OpenElements /*open*/, const OpenElement& element) override {
        if (!is_parameters(element) || pending_.empty()) return;
        if (names_a_table(pending_.back())) result.decision_tables.insert(std::move(*pending_.back().value));
        pending_.pop_back();
    }

    ExpressionSetReferences result;

private:
    // One record per open parameters element in the namespace, the innermost last.
    std::vector<PendingParameters> pending_;
};

}  // namespace

std::expected<ExpressionSetReferences, FieldReadError> parse_expression_set_references(
    std::string_view full_name, std::string_view text) {
    Rules rules;
    const reference_parser_frame::Settings settings{
        .root_names = kRoots,
        .text_mode = reference_parser_frame::TextMode::CaptureElements,
        .keeps_empty_values = true,
    };
    if (auto parsed = reference_parser_frame::parse(full_name, text, settings, rules); !parsed) {
        return std::unexpected(std::move(parsed.error()));
    }
    return std::move(rules.result);
}

}  // namespace ambrel::metadata::expression_set_reader

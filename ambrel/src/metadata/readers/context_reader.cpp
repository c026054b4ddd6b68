#include "metadata/readers/context_reader.hpp"

#include <array>
#include <optional>

#include <fmt/format.h>

#include "metadata/namespace_policy.hpp"

namespace ambrel::metadata::context_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::array<std::string_view, 1> kRoots = {"ContextDefinition"};
constexpr std::string_view kNodeMappings = "contextNodeMappings";
constexpr std::string_view kObject = "object";
constexpr std::string_view kMappedContextDefinition = "mappedContextDefinition";
constexpr std::string_view kDefinitionReferences = "contextDefinitionReferences";
constexpr std::string_view kReferenceContextDefinition = "referenceContextDefinition";
constexpr std::string_view kHydrationDetails = "contextAttrHydrationDetails";
constexpr std::string_view kObjectName = "objectName";
constexpr std::string_view kQueryAttribute = "queryAttribute";
constexpr std::string_view kStandardContextSuffix = "__stdctx";
constexpr std::string_view kCustomSuffix = "__c";
constexpr std::size_t kShortestCustomName = 3;

bool is_hydration_details(const OpenElement& element) noexcept {
    return element.in_metadata_namespace && element.local_name == kHydrationDetails;
}

bool is_unpackaged_custom_field(std::string_view name) {
    return name.size() >= kShortestCustomName && name.ends_with(kCustomSuffix) &&
           !NamespacePolicy::is_packaged_field(name);
}

// Borrows the full name, which must outlive it.
class Rules final : public reference_parser_frame::Rules {
public:
    explicit Rules(std::string_view full_name) : full_name_(full_name) {}

    CaptureKind on_start(OpenElements /*open*/, const OpenElement& element) override {
        if (is_hydration_details(element)) clear_pending();
        return reference_parser_frame::kNoCapture;
    }

    void on_end(OpenElements /*open*/, const OpenElement& element) override {
        if (!is_hydration_details(element)) return;
        if (pending_object_ && pending_attribute_ && is_unpackaged_custom_field(*pending_attribute_)) {
            result.fields.insert(fmt::format("{}.{}", *pending_object_, *pending_attribute_));
        }
        clear_pending();
    }

    void on_piece(OpenElements open, std::string_view piece) override {
        const OpenElement& holder = open[open.size() - 1];
        const OpenElement& parent = open[open.size() - 2];
        if (!holder.in_metadata_namespace || !parent.in_metadata_namespace) return;
        if (parent.local_name == kNodeMappings && holder.local_name == kObject) {
            if (is_transferable_object(piece)) result.objects.emplace(piece);
        } else if ((parent.local_name == kNodeMappings && holder.local_name == kMappedContextDefinition) ||
                   (parent.local_name == kDefinitionReferences && holder.local_name == kReferenceContextDefinition)) {
            add_context_definition(piece);
        } else if (parent.local_name == kHydrationDetails && holder.local_name == kObjectName) {
            pending_object_ = std::string(piece);
        } else if (parent.local_name == kHydrationDetails && holder.local_name == kQueryAttribute) {
            pending_attribute_ = std::string(piece);
        }
    }

    ContextReferences result;

private:
    void add_context_definition(std::string_view name) {
        if (name == full_name_ || name.ends_with(kStandardContextSuffix) ||
            NamespacePolicy::is_packaged_generic_component(name)) {
            return;
        }
        result.context_definitions.emplace(name);
    }

    void clear_pending() {
        pending_object_.reset();
        pending_attribute_.reset();
    }

    std::string_view full_name_;
    std::optional<std::string> pending_object_;
    std::optional<std::string> pending_attribute_;
};

}  // namespace

bool is_transferable_object(std::string_view object_api_name) {
    return object_api_name.size() >= kShortestCustomName && object_api_name.ends_with(kCustomSuffix) &&
           !PACKAGED_FIELD_PATTERN.matches(object_api_name);
}

std::expected<ContextReferences, FieldReadError> parse_context_references(std::string_view full_name,
                                                                          std::string_view text) {
    Rules rules(full_name);
    const reference_parser_frame::Settings settings{
        .root_names = kRoots,
        .text_mode = reference_parser_frame::TextMode::JudgePieces,
        .keeps_empty_values = false,
    };
    if (auto parsed = reference_parser_frame::parse(full_name, text, settings, rules); !parsed) {
        return std::unexpected(std::move(parsed.error()));
    }
    return std::move(rules.result);
}

}  // namespace ambrel::metadata::context_reader

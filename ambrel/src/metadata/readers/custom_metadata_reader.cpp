#include "metadata/readers/custom_metadata_reader.hpp"

#include <array>

#include <fmt/format.h>

#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::metadata::custom_metadata_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "CustomMetadata";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 3> kFieldPath = {kRoot, "values", "field"};
constexpr std::string_view kTypeSuffix = "__mdt";
constexpr std::string_view kCustomFieldSuffix = "__c";

enum Capture : CaptureKind { kNone, kField };

class Rules final : public reference_parser_frame::Rules {
public:
    explicit Rules(std::string type_object_name) { result.type_object_name = std::move(type_object_name); }

    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        return reference_parser_frame::counts_at(open, element, kFieldPath) ? kField : kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind != kField || !value.ends_with(kCustomFieldSuffix) || NamespacePolicy::is_packaged_field(value)) return;
        result.fields.insert(fmt::format("{}.{}", result.type_object_name, value));
    }

    CustomMetadataReferences result;
};

}  // namespace

FieldReadError parse_error(std::string_view full_name, std::string_view message) {
    return reference_parser_frame::parse_failure(full_name, std::string(message));
}

std::expected<CustomMetadataReferences, FieldReadError> parse_custom_metadata_references(
    std::string_view full_name, std::string_view text) {
    const auto parts = metadata_types::split_once_dot(full_name);
    if (!parts || parts->first.empty() || parts->second.empty()) {
        return std::unexpected(parse_error(full_name, kMalformedRecordName));
    }
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots},
                                              Rules(fmt::format("{}{}", parts->first, kTypeSuffix)));
}

}  // namespace ambrel::metadata::custom_metadata_reader

#include "metadata/readers/rollup_reader.hpp"

#include <array>

#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::metadata::rollup_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "CustomField";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 2> kSummarizedFieldPath = {kRoot, "summarizedField"};
constexpr std::array<std::string_view, 2> kSummaryForeignKeyPath = {kRoot, "summaryForeignKey"};
constexpr std::array<std::string_view, 3> kFilterFieldPath = {kRoot, "summaryFilterItems", "field"};
constexpr std::string_view kCustomFieldSuffix = "__c";

enum Capture : CaptureKind { kNone, kSummarizedField, kSummaryForeignKey, kFilterField };

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        if (counts_at(open, element, kSummarizedFieldPath)) return kSummarizedField;
        if (counts_at(open, element, kSummaryForeignKeyPath)) return kSummaryForeignKey;
        if (counts_at(open, element, kFilterFieldPath)) return kFilterField;
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (!is_custom_field_reference(value)) return;
        switch (kind) {
            case kSummarizedField: result.summarized_field = std::string(value); break;
            case kSummaryForeignKey: result.summary_foreign_key = std::string(value); break;
            case kFilterField: result.filter_fields.emplace(value); break;
            default: break;
        }
    }

    RollupReferences result;
};

}  // namespace

bool is_custom_field_reference(std::string_view value) {
    const auto parts = metadata_types::split_once_dot(value);
    if (!parts) return false;
    const auto [object, field] = *parts;
    if (object.empty() || field.empty() || field.find('.') != std::string_view::npos) return false;
    if (!field.ends_with(kCustomFieldSuffix)) return false;
    return !NamespacePolicy::is_packaged_field(field);
}

std::expected<RollupReferences, FieldReadError> parse_rollup_references(std::string_view full_name,
                                                                        std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::rollup_reader

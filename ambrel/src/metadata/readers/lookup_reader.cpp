#include "metadata/readers/lookup_reader.hpp"

#include <array>

#include "metadata/readers/rollup_reader.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::lookup_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "CustomField";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 2> kReferenceToPath = {kRoot, "referenceTo"};
constexpr std::array<std::string_view, 4> kFilterFieldPath = {kRoot, "lookupFilter", "filterItems", "field"};
// A filter item that tests the record being edited names no dependency of the field.
constexpr std::string_view kSourcePrefix = "$source.";

enum Capture : CaptureKind { kNone, kReferenceTo, kFilterField };

bool is_filter_field(std::string_view value) {
    if (value.size() >= kSourcePrefix.size() &&
        text::equals_ascii_case_insensitive(value.substr(0, kSourcePrefix.size()), kSourcePrefix)) {
        return false;
    }
    return rollup_reader::is_custom_field_reference(value);
}

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        if (counts_at(open, element, kReferenceToPath)) return kReferenceTo;
        if (counts_at(open, element, kFilterFieldPath)) return kFilterField;
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kReferenceTo) {
            result.referenced_objects.emplace(value);
        } else if (kind == kFilterField && is_filter_field(value)) {
            result.filter_fields.emplace(value);
        }
    }

    LookupReferences result;
};

}  // namespace

std::expected<LookupReferences, FieldReadError> parse_lookup_references(std::string_view full_name,
                                                                        std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::lookup_reader

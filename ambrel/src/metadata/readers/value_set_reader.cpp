#include "metadata/readers/value_set_reader.hpp"

#include <array>

namespace ambrel::metadata::value_set_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "CustomField";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 3> kValueSetNamePath = {kRoot, "valueSet", "valueSetName"};

enum Capture : CaptureKind { kNone, kValueSetName };

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        return reference_parser_frame::counts_at(open, element, kValueSetNamePath) ? kValueSetName : kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kValueSetName && !result) result = std::string(value);
    }

    std::optional<std::string> result;
};

}  // namespace

std::expected<std::optional<std::string>, FieldReadError> parse_global_value_set_reference(
    std::string_view full_name, std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::value_set_reader

#include "metadata/readers/permission_set_group_reader.hpp"

#include <array>

#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::permission_set_group_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "PermissionSetGroup";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 2> kPermissionSetsPath = {kRoot, "permissionSets"};
constexpr std::array<std::string_view, 2> kMutingPermissionSetsPath = {kRoot, "mutingPermissionSets"};

enum Capture : CaptureKind { kNone, kPermissionSet };

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        // Only direct children of the root count; the root's namespace was checked when it opened.
        if (counts_at(open, element, kPermissionSetsPath) || counts_at(open, element, kMutingPermissionSetsPath)) {
            return kPermissionSet;
        }
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kPermissionSet) result.emplace(value);
    }

    std::set<std::string> result;
};

}  // namespace

std::expected<std::set<std::string>, FieldReadError> parse_permission_set_group_references(
    std::string_view full_name, std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::permission_set_group_reader

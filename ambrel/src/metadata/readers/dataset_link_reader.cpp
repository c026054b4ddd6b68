#include "metadata/readers/dataset_link_reader.hpp"

#include <array>

#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::dataset_link_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "DecisionTableDatasetLink";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 2> kDecisionTablePath = {kRoot, "decisionTableName"};
constexpr std::array<std::string_view, 2> kSourceObjectPath = {kRoot, "sourceObject"};

enum Capture : CaptureKind { kNone, kDecisionTable, kSourceObject };

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        if (counts_at(open, element, kDecisionTablePath)) return kDecisionTable;
        if (counts_at(open, element, kSourceObjectPath)) return kSourceObject;
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kDecisionTable) result.decision_table = std::string(value);
        if (kind == kSourceObject) result.source_object = std::string(value);
    }

    DatasetLinkReferences result;
};

}  // namespace

std::expected<DatasetLinkReferences, FieldReadError> parse_dataset_link_references(std::string_view full_name,
                                                                                  std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::dataset_link_reader

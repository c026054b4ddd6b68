#pragma once

// The decision table (decisionTableName) and the source object (sourceObject) that a decision
// table dataset link's DecisionTableDatasetLink document names, each the last non-empty value,
// as written (trimmed), unjudged. Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be DecisionTableDatasetLink" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"

namespace ambrel::metadata::dataset_link_reader {

struct DatasetLinkReferences {
    std::optional<std::string> decision_table;
    std::optional<std::string> source_object;

    bool operator==(const DatasetLinkReferences&) const = default;
};

// (component full name, DecisionTableDatasetLink document text).
std::expected<DatasetLinkReferences, FieldReadError> parse_dataset_link_references(std::string_view full_name,
                                                                                  std::string_view text);

}  // namespace ambrel::metadata::dataset_link_reader

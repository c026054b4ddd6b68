#pragma once

// The constraint model document: one constraint model of one org as XML, with its definition, its
// versions (status, shell and constraint model language text) and the tags that attach it to records.
// The long texts travel in CDATA sections (a "]]>" split across two sections), so they read back byte
// for byte. `render_model_document` sorts versions by name (stable) and writes each distinct tag once
// in tag order; `parse_model_document` keeps document order and fails with the shared messages of
// conventions.hpp and reading_loop.hpp or with:
// - "root element must be ConstraintModel in the constraint model namespace"
// - "<{}> is outside the constraint model namespace"
// - "<tag> has no 'type' attribute", "<tag> has no 'tag' attribute"
// - "<version> has no 'name' attribute", "<version> has no 'status' attribute"
// A failed read returns no partial document.
//
// Thread-safety: plain values and pure functions; any thread.

#include <compare>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/document/conventions.hpp"

namespace ambrel::data::bundles::document {

inline constexpr std::string_view kModelNamespace = "urn:quillary:revenue-cloud:constraint-model";
inline constexpr std::string_view kModelRoot = "ConstraintModel";
// The status of an active version, compared exactly.
inline constexpr std::string_view kActiveStatus = "Active";

struct ModelVersion {
    std::string name;
    std::string status;
    std::string shell;
    std::string constraint_model;

    friend bool operator==(const ModelVersion&, const ModelVersion&) = default;
};

struct ModelTag {
    std::string tag_type;
    std::string tag;
    // Further named values of the tag, in the order given.
    std::vector<std::pair<std::string, std::string>> attributes;
    std::optional<std::string> unresolved;

    friend bool operator==(const ModelTag&, const ModelTag&) = default;
    friend std::strong_ordering operator<=>(const ModelTag&, const ModelTag&) = default;
};

struct ModelDocument {
    // Carried beside the document for the caller; never written, empty after a read.
    std::string name;
    std::string definition;
    std::vector<ModelVersion> versions;
    std::vector<ModelTag> tags;

    // The names of the versions whose status is exactly "Active", in version order.
    std::vector<std::string_view> active_version_names() const;

    friend bool operator==(const ModelDocument&, const ModelDocument&) = default;
};

std::string render_model_document(const ModelDocument& document);

std::expected<ModelDocument, BundleDocumentError> parse_model_document(std::string_view text);

}  // namespace ambrel::data::bundles::document

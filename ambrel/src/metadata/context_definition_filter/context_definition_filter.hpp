#pragma once

// The objects and fields a ContextDefinition document references ("contextNodeMappings" with an
// "object" child; "contextAttrHydrationDetails" with "objectName" and "queryAttribute", nesting to
// follow relationships), and the filter that removes the node mappings and hydration chains whose
// object or field the source org lists and the target org does not (or that explicit omissions name),
// so that the rest of the definition deploys. Removal is by text edits that keep every other byte.
//
// Entity and character references inside texts are not read: a text piece is decoded as UTF-8,
// unescaped and trimmed on its own, and a later piece for the same child replaces an earlier one.
//
// Failures (ContextDefinitionFilterError, whose message is the whole text): "document closes an
// element that was never opened", "document is not properly nested", "document is not properly
// closed", or the pull reader's own text for malformed XML. A DOCTYPE is never expanded.
// Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "cli/schema_catalog.hpp"

namespace ambrel::metadata::context_definition_filter {

using FieldRef = std::pair<std::string, std::string>;

struct ContextReferenceIndex {
    std::set<FieldRef> fields;
    std::set<std::string> objects;
    bool operator==(const ContextReferenceIndex&) const = default;
};

// References to leave out whatever the listings say; lookups ignore ASCII letter case.
struct ExplicitOmissions {
    std::set<FieldRef> fields;
    std::set<std::string> objects;

    bool knows_object(std::string_view object) const;
    bool knows_field(std::string_view object, std::string_view field) const;
    bool operator==(const ExplicitOmissions&) const = default;
};

struct FilteredContextDefinition {
    std::string document;
    std::set<FieldRef> left_out_fields;
    std::set<std::string> left_out_objects;
    std::size_t total_fields = 0;
    std::size_t total_objects = 0;
    std::size_t kept_fields = 0;
    std::size_t kept_objects = 0;

    // "Kept {} of {} field references and {} of {} object mappings in this context; {} left out:
    // {}{}."; none when nothing was left out.
    std::optional<std::string> message() const;
    bool operator==(const FilteredContextDefinition&) const = default;
};

class ContextDefinitionFilterError {
public:
    explicit ContextDefinitionFilterError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    bool operator==(const ContextDefinitionFilterError&) const = default;

private:
    std::string message_;
};

std::expected<FilteredContextDefinition, ContextDefinitionFilterError> filter_context_definition(
    std::string_view document, const cli::SchemaListing& source, const cli::SchemaListing& target,
    const ExplicitOmissions& omissions);

std::expected<ContextReferenceIndex, ContextDefinitionFilterError> referenced_components(std::string_view document);

// The referenced objects together with the object part of every referenced field.
std::expected<std::set<std::string>, ContextDefinitionFilterError> referenced_object_names(std::string_view document);

}  // namespace ambrel::metadata::context_definition_filter

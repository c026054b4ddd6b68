#pragma once

// Reads the documents of a comparison's rows and lists, per row, the components its document names
// and a deployment of the row needs beside it: fields, objects, value sets, decision tables,
// context definitions, expression set definitions and child bundles. Each finding is a pair
// (requiring key, required key); the required component may or may not have a row. Never reads
// files, runs commands or fails: a document that cannot be parsed gives one warning (through
// dependency::push_warning, with the row's full name) and nothing else:
// - "Could not parse Context Definition '{}'; its dependencies were not followed."
// - "Could not parse custom field '{}'; its dependencies were not followed."
// - "Could not parse Decision Table '{}'; its dependencies were not followed."
// - "Custom Metadata record name '{}' is not of the form Type.Record; its dependencies were not
//   followed." or "Could not parse Custom Metadata record '{}'; its dependencies were not followed."
// - "Could not parse Expression Set '{}'; its dependencies were not followed."
// - "Could not parse Pricing Recipe '{}'; its dependencies were not followed."
// - "Could not parse Decision Table Dataset Link '{}'; its dependencies were not followed."
// - "Could not parse Product Bundle '{}'; its dependencies were not followed."
// - "Product bundle {} contains bundle {}, which is not in this comparison."
//
// Thread-safety: pure functions over borrowed data; a RowDocumentCache belongs to one call.

#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/dependency_additions/addition_rules.hpp"
#include "app/key_address.hpp"
#include "dependency/warnings.hpp"
#include "domain/difference.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata/readers/custom_metadata_reader.hpp"
#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"

namespace ambrel::app {

using DependencyPair = std::pair<domain::ComponentKey, domain::ComponentKey>;

// One product of a bundle document, as far as the child-bundle pairs need it.
struct ChildProduct {
    std::string name;
    // The product is itself a bundle.
    bool bundle = false;

    bool operator==(const ChildProduct&) const = default;
};

// Reads the child products of a product bundle document in document order; none when the document
// cannot be parsed.
using ChildBundleReader = std::function<std::optional<std::vector<ChildProduct>>(std::string_view document)>;

// The child products of a product bundle document as the bundle document reader reads them; none when
// it refuses the document.
std::optional<std::vector<ChildProduct>> read_child_bundles(std::string_view document);

// The results of the CustomField readers per row, so that one document read by several steps of one
// call is parsed once. Borrows the keys of the rows it is given, which must outlive it and stay in
// place; lives for one call.
class RowDocumentCache {
public:
    const std::expected<metadata::lookup_reader::LookupReferences, metadata::FieldReadError>& lookup(
        const domain::ComponentDifference& row);
    const std::expected<metadata::rollup_reader::RollupReferences, metadata::FieldReadError>& rollup(
        const domain::ComponentDifference& row);

private:
    // Only looked up, never walked, so hash maps serve.
    std::unordered_map<const domain::ComponentKey*,
                       std::expected<metadata::lookup_reader::LookupReferences, metadata::FieldReadError>,
                       KeyAddressHash, KeyAddressEqual>
        lookups_;
    std::unordered_map<const domain::ComponentKey*,
                       std::expected<metadata::rollup_reader::RollupReferences, metadata::FieldReadError>,
                       KeyAddressHash, KeyAddressEqual>
        rollups_;
};

// "Could not parse custom field '{}'; its dependencies were not followed."
std::string unparsed_custom_field_warning(std::string_view full_name);

// The custom metadata reader's result unchanged; on failure one of its two warnings is pushed first.
std::expected<metadata::custom_metadata_reader::CustomMetadataReferences, metadata::FieldReadError>
parse_custom_metadata_references_reporting(std::string_view record_name, std::string_view document,
                                           dependency::WarningList& warnings);

// The names of all ProductBundle rows.
std::set<std::string> child_bundle_keys(std::span<const domain::ComponentDifference> rows);

// The context definition names of an expression set document's references that may be members.
std::vector<std::string> expression_set_reference_keys(const std::set<std::string>& context_definitions);

// The pairs of all rows, sources in a fixed order, each walking the rows in order. The pairs may
// repeat and may hold two equal keys. Product bundle documents are read with `read_child_bundles`
// unless another reader is given; an empty reader skips product bundles.
std::vector<DependencyPair> delta_dependency_pairs(std::span<const domain::ComponentDifference> rows,
                                                   dependency::WarningList& warnings,
                                                   const ChildBundleReader& child_bundles = read_child_bundles,
                                                   TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

// The pairs of delta_dependency_pairs with the warnings it would push, in the order it would push
// them, not yet deduplicated or capped, so that one reading can serve several steps.
struct DeltaDependencies {
    std::vector<DependencyPair> pairs;
    std::vector<std::string> warnings;
};

DeltaDependencies collect_delta_dependencies(std::span<const domain::ComponentDifference> rows,
                                             RowDocumentCache& cache, const ChildBundleReader& child_bundles,
                                             TypeLookup lookup);

// Pushes the collected warnings through dependency::push_warning, in order.
void replay_delta_warnings(const DeltaDependencies& delta, dependency::WarningList& warnings);

// The same, reading CustomField documents through `cache`.
std::vector<DependencyPair> delta_dependency_pairs(std::span<const domain::ComponentDifference> rows,
                                                   dependency::WarningList& warnings, RowDocumentCache& cache,
                                                   const ChildBundleReader& child_bundles, TypeLookup lookup);

}  // namespace ambrel::app

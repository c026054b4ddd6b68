#pragma once

// Turns the selected product bundle documents into one transfer plan: every distinct record once,
// with its key, field values, references and chain depth, and the names of the documents that hold
// it. A record several documents share keeps the first document's definition (documents in name
// order), except a root product, whose own document's definition always wins. A document that does
// not parse becomes a `PlanError` carrying the parser's text, and plans nothing; the others are
// planned regardless. Talks to no org; pure; never fails; any thread.

#include <map>
#include <string>
#include <vector>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/plan.hpp"

namespace ambrel::data::bundles::transfer {

// Document name (the bundle's root product) → document text.
TransferPlan plan_transfer(const std::map<std::string, std::string>& documents);

// The names of the child products that are bundles themselves, in document order.
std::vector<std::string> child_bundle_names(const document::BundleDocument& document);

}  // namespace ambrel::data::bundles::transfer

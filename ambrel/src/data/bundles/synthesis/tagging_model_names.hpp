#pragma once

// The constraint model names that a product bundle document names in its "<model>" elements, read
// back from the document text without an XML reader. A pure function; any thread.
//
// For every "<model>", the name is the text after it up to the first "</model>", the next "<model>"
// or the end of the text, whichever comes first (so an unclosed element at the end gives the rest of
// the text). Empty names are skipped; "&quot;", "&lt;", "&gt;" and "&amp;" are decoded in one pass
// (decoded text is never decoded again) and nothing else is. Never fails.

#include <set>
#include <string>
#include <string_view>

namespace ambrel::data::bundles::synthesis {

std::set<std::string> tagging_model_names(std::string_view document);

// The same reading with any opening and closing text: for every `start`, the text after it up to the
// first `end_mark`, the next `start` or the end of the document; empty names skipped, the four
// entities decoded in one pass.
std::set<std::string> names_between(std::string_view document, std::string_view start, std::string_view end_mark);

}  // namespace ambrel::data::bundles::synthesis

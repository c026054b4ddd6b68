#pragma once

// The ten reference parsers behind one shape, so that one table of documents can run against all
// of them: each result is flattened into "part:value" texts, and each failure into its display
// text.

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel::metadata::testing {

inline constexpr std::string_view kMetadataNs = "http://soap.sforce.com/2006/04/metadata";

// "part:value" texts of a result, sorted; or the failure's display text.
using Flattened = std::expected<std::vector<std::string>, std::string>;

struct ParserUnderTest {
    std::string_view name;
    // The root element that a document for this parser opens with.
    std::string_view root;
    // The failure reason for a wrong top-level element.
    std::string root_reason;
    // Markup that opens and closes a counted element below the root, around a value.
    std::string_view open_counted;
    std::string_view close_counted;
    std::function<Flattened(std::string_view full_name, std::string_view text)> parse;
};

const std::vector<ParserUnderTest>& all_parsers();

// <?xml ...?> and the root in the Metadata API namespace around `body`.
std::string document(std::string_view root, std::string_view body);

// The display text of a path-form failure for `full_name`.
std::string failure(std::string_view full_name, std::string_view reason);

}  // namespace ambrel::metadata::testing

#pragma once

// What the org catalogues share: the one test that decides whether a CLI run succeeded (and the
// wording of its failure), the "invalid response" errors and the readers of text members with which
// they validate a JSON answer, and the removal of the CLI's update warnings from standard error.

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/catalog_error.hpp"
#include "cli/cli_result.hpp"
#include "json/json.hpp"

namespace ambrel::cli::catalogs {

// A detail taken from the CLI is cut to this many characters.
inline constexpr std::size_t kMaxDetailChars = 2048;

// The JSON document of a successful run: status the integer 0 (0.0 does not count), exit code 0 and
// no time-out. Otherwise the sentence "Salesforce CLI {label} failed (exit code {}, status {}, timed
// out: {}). {guidance}", followed by " CLI details: {}" with the CLI's own explanation (its JSON
// "name" and "message", else standard error without update warnings, else standard output, else
// standard error as it came) with credentials in URLs and secret assignments removed and cut to
// 2,048 characters.
std::expected<std::reference_wrapper<const json::Value>, CatalogError> require_successful_catalog_command(
    const CliJsonResult& result, std::string_view label, std::string_view guidance);

// The CLI's own explanation in an error answer: the standard output text parsed as JSON, its member
// "message" (non-blank text, trimmed), preceded by "{name}: " when "name" is non-blank text and the
// message does not already begin with the part of the name after its last ":". None when the text is
// no JSON document with such a message.
std::optional<std::string> json_error_detail(std::string_view stdout_text);

// The CLI's own explanation when standard output is its JSON error answer: "{name}: {message}" (the
// message alone when it already begins with the part of the name after its last ":"), cleaned as the
// details above. None when standard output is not such an answer (no JSON, or no non-blank "message").
std::optional<std::string> cli_error_answer_detail(std::string_view stdout_text);

// The refusal of an org alias holding a control character (U+0000 to U+001F, U+007F to U+009F).
inline constexpr std::string_view kAliasControlRefusal = "An org alias must not contain control characters.";

// kAliasControlRefusal when the alias holds a control character, else none. An alias travels as an
// argument of its own, and a NUL in an argument can never reach a child process, so every command
// that names an org refuses such an alias before anything starts.
std::optional<CatalogError> alias_refusal(std::string_view alias);

// Standard error without the CLI's update warnings: lines that begin with "Warning:" (after terminal
// escape sequences, white space and leading "›"/"»" marks are set aside) and the "›"/"»"
// continuation lines that follow them. Kept lines are joined with "\n".
std::string strip_cli_update_warnings(std::string_view text);

// "Salesforce CLI {label} returned an invalid response: {detail}. {guidance}"
CatalogError malformed_catalog_response(std::string_view label, std::string_view guidance, std::string_view detail);

// The same sentence with the detail "{path} {problem}" and the fixed label and guidance of the org
// list, the object listing and the metadata listing.
CatalogError malformed_org(std::string_view path, std::string_view problem);
CatalogError malformed_object(std::string_view path, std::string_view problem);
CatalogError malformed_metadata_list(std::string_view path, std::string_view problem);

// Readers of one member of a JSON object whose path (for example "result.nonScratchOrgs[2]") names
// it in errors as "{path}.{key}". Blank means empty once Unicode white space is trimmed; a returned
// text is the member's text unchanged.

// A text that is not blank, else "value must be non-blank text" (malformed_org).
std::expected<std::string, CatalogError> org_required_non_blank_text(const json::Object& object, std::string_view key,
                                                                     std::string_view path);
// None when absent, null or blank; the text; else "value must be text or null" (malformed_org).
std::expected<std::optional<std::string>, CatalogError> org_optional_text(const json::Object& object,
                                                                          std::string_view key,
                                                                          std::string_view path);
// None for null; any text; absent is "value must be present as text or null", another type "value
// must be text or null" (malformed_object).
std::expected<std::optional<std::string>, CatalogError> object_required_nullable_text(const json::Object& object,
                                                                                      std::string_view key,
                                                                                      std::string_view path);
// None when absent or null; any text, an empty one too; else "value must be text or null"
// (malformed_metadata_list).
std::expected<std::optional<std::string>, CatalogError> metadata_optional_text(const json::Object& object,
                                                                               std::string_view key,
                                                                               std::string_view path);
// A text that is not blank, else the Revenue Cloud listing's "result.records[].{key} must be
// non-empty text".
std::expected<std::string, CatalogError> required_text(const json::Object& record, std::string_view key);

}  // namespace ambrel::cli::catalogs

#pragma once

// The system's only road to an org's REST API: one request per call through the CLI's REST request
// command ("api request rest"), run by the shared gateway in raw-output mode. The CLI has no JSON
// envelope for that command (it refuses "--json"), so the channel asks for "--include" and reads the
// HTTP status line, the header lines and the body from standard output. Paths and record ids are
// checked before anything runs; bodies travel in a file inside a private temporary folder.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/catalog_error.hpp"
#include "cli/cli_result.hpp"
#include "cli/gateway.hpp"
#include "cli/rest_paths.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli {

// A successful answer: the HTTP status code is always from 200 to 299.
struct RestResponse {
    // The response body: JSON null when there is none, the parsed JSON when it is JSON, else a JSON
    // string holding the raw text.
    json::Value body;
    std::int64_t status_code = 0;
    // The body exactly as the CLI printed it, less the line feed it adds (empty when there is none): a
    // field's raw content (a constraint model) is this text, even when it happens to parse as JSON.
    std::string raw_body = {};

    friend bool operator==(const RestResponse&, const RestResponse&) = default;
};

// The methods that carry a request body.
enum class RestMethod { Post, Patch, Delete };

// "POST", "PATCH", "DELETE".
std::string_view wire_word(RestMethod method) noexcept;

class SfRestChannel {
public:
    SfRestChannel(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // Every operation: a blank alias is a programming error ("Org alias must not be blank"); one holding
    // a control character is refused before anything runs ("An org alias must not contain control
    // characters.").
    std::expected<RestResponse, CatalogError> get(std::string_view alias, std::string_view path,
                                                  const domain::CancellationToken& token) const;
    // `body` is the JSON text to send.
    std::expected<RestResponse, CatalogError> post(std::string_view alias, std::string_view path,
                                                   std::string_view body,
                                                   const domain::CancellationToken& token) const;
    std::expected<RestResponse, CatalogError> patch(std::string_view alias, std::string_view path,
                                                    std::string_view body,
                                                    const domain::CancellationToken& token) const;
    // Deletes 1 to 200 records through the composite sObject collection resource; `api_version` is the
    // text that follows "/services/data/v".
    std::expected<RestResponse, CatalogError> delete_composite(std::string_view alias,
                                                               std::string_view api_version,
                                                               std::span<const std::string> ids,
                                                               const domain::CancellationToken& token) const;

private:
    std::expected<RestResponse, CatalogError> send(std::string_view alias, std::string_view path,
                                                   RestMethod method, std::string_view body,
                                                   const domain::CancellationToken& token) const;
    std::expected<RestResponse, CatalogError> run(const std::vector<std::string>& arguments,
                                                  std::string_view path,
                                                  const domain::CancellationToken& token) const;

    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

namespace rest {

inline constexpr std::string_view kRequestLabel = "Salesforce REST request";
inline constexpr std::string_view kRequestHint = "Verify the selected Salesforce org is authenticated and retry.";
inline constexpr std::string_view kBodyDirectoryPrefix = "quillary-rest-";
inline constexpr std::string_view kBodyFileName = "body.json";
inline constexpr std::size_t kMaxDeleteIds = 200;

// At least 16 bytes, begins with "/services/data/v", no "..", and only ASCII letters, digits, '-',
// '.', '/' and '_' (so no query string, escape, space or non-ASCII character).
bool is_valid_rest_path(std::string_view path) noexcept;

// The reason a Salesforce error body gives: for an array, "{errorCode}: {message}" of its first
// element (both must be texts); for any other value its "message" text; none otherwise.
std::optional<std::string> refusal_reason_from_body(const json::Value* body);

// What the CLI printed for a request made with "--include".
struct IncludedResponse {
    std::int64_t status_code = 0;
    // Header names (lower case, as printed) and values; a repeated header keeps its last value.
    std::map<std::string, std::string> headers;
    json::Value body;
    // The body as printed, less one trailing line feed.
    std::string raw_body;
};

// Why standard output could not be read as a response.
enum class IncludedResponseFault {
    // The first line is not an HTTP status line at all: the CLI failed before it sent anything.
    NoStatusLine,
    // The first line begins "HTTP/" but carries no three-digit status code.
    NoStatusCode,
};

// Reads "HTTP/<version> <code>" from the first line, then the lines of the form
// "lower-case-name: value" as headers, then the rest, less one trailing line feed, as the body:
// empty is null, JSON when it parses as one document, else the raw text as a JSON string. The CLI
// prints no blank line between headers and body, so a raw body whose first lines look like headers
// is found by its "content-length": when the last that many bytes before the final line feed begin a
// line among those read as headers, the body begins there (never for a body sent compressed, nor when
// what follows the header lines is JSON, which the CLI prints in a form of its own).
std::expected<IncludedResponse, IncludedResponseFault> parse_included_response(std::string_view stdout_text);

// The CLI's own error text from standard error, fit for a message: its warning lines and any notice
// before its first "Error" line dropped, terminal escapes removed, white space flattened, secrets redacted and cut to 2,048 characters.
std::string cli_error_text(std::string_view stderr_text);

// The outcome of a request with a body once its folder has been handled. A folder that could not be
// removed after a successful request does not fail it (the org has processed the request, and a
// retry would repeat it): the leftover folder is reported on the session log and as a diagnostic
// line on standard error, and the response is returned. After a failed request the removal's error
// is dropped.
std::expected<RestResponse, CatalogError> settle_body_request(std::expected<RestResponse, CatalogError> outcome,
                                                              const std::filesystem::path& folder,
                                                              std::error_code removal_error,
                                                              std::string_view path, const SfCliGateway& gateway);

}  // namespace rest

}  // namespace ambrel::cli

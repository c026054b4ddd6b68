#include "cli/rest.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/catalog_results.hpp"
#include "logging/log_sink.hpp"
#include "platform_fs/files.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli {

std::string_view wire_word(RestMethod method) noexcept {
    switch (method) {
        case RestMethod::Post: return "POST";
        case RestMethod::Patch: return "PATCH";
        case RestMethod::Delete: return "DELETE";
    }
    return "POST";
}

namespace rest {
namespace {

constexpr std::string_view kPathPrefix = "/services/data/v";

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

CatalogError sentence(std::string text) { return CatalogError::Message{std::move(text)}; }

CatalogError unsupported_path() {
    return sentence(fmt::format("{} failed: the request path is not supported.", kRequestLabel));
}

// " ({})" around a sanitized reason, or nothing when there is no reason (an empty one still shows).
std::string reason_suffix(const std::optional<std::string>& reason) {
    if (!reason) return {};
    return fmt::format(" ({})", SfCliGateway::sanitize(*reason));
}

CatalogError refusal(std::string_view path, const std::optional<std::string>& reason) {
    return sentence(fmt::format("{} failed on {}{}. {}", kRequestLabel, redacted_path(path), reason_suffix(reason),
                                kRequestHint));
}

CatalogError body_file_refusal(std::string_view path, std::string_view detail) {
    return sentence(fmt::format("{} could not prepare its request body on {} ({}). {}", kRequestLabel,
                                redacted_path(path), SfCliGateway::sanitize(detail), kRequestHint));
}

// Removes terminal escape sequences (ESC '[' … letter) that a coloured CLI writes around words.
std::string without_terminal_escapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < text.size() && !is_ascii_letter(text[j])) ++j;
            i = j;  // the letter ends the sequence (or the text ran out)
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string_view strip_carriage_return(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "HTTP/<version> <three digits>" with an optional reason phrase after one more space.
std::optional<std::int64_t> status_code_of(std::string_view line) noexcept {
    constexpr std::string_view kHttp = "HTTP/";
    if (!line.starts_with(kHttp)) return std::nullopt;
    std::string_view rest = line.substr(kHttp.size());
    const std::size_t space = rest.find(' ');
    if (space == 0 || space == std::string_view::npos) return std::nullopt;
    for (char c : rest.substr(0, space)) {
        if (!is_ascii_digit(c) && c != '.') return std::nullopt;
    }
    rest.remove_prefix(space + 1);
    if (rest.size() < 3 || !is_ascii_digit(rest[0]) || !is_ascii_digit(rest[1]) || !is_ascii_digit(rest[2])) {
        return std::nullopt;
    }
    if (rest.size() > 3 && rest[3] != ' ') return std::nullopt;
    return (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
}

// "lower-case-name: value" (the value may be empty).
std::optional<std::pair<std::string_view, std::string_view>> header_of(std::string_view line) noexcept {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    for (char c : line.substr(0, colon)) {
        const bool token = (c >= 'a' && c <= 'z') || is_ascii_digit(c) || c == '-' || c == '_' || c == '.';
        if (!token) return std::nullopt;
    }
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() != ' ') return std::nullopt;
    if (!value.empty()) value.remove_prefix(1);
    return std::pair{line.substr(0, colon), value};
}

void require_alias(std::string_view alias) {
    support::require(!text::is_blank(alias), "Org alias must not be blank");
}

}  // namespace

bool is_valid_rest_path(std::string_view path) noexcept {
    if (path.size() < kPathPrefix.size() || !path.starts_with(kPathPrefix)) return false;
    if (path.find("..") != std::string_view::npos) return false;
    for (char c : path) {
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '-' && c != '.' && c != '/' && c != '_') return false;
    }
    return true;
}

std::optional<std::string> refusal_reason_from_body(const json::Value* body) {
    if (body == nullptr) return std::nullopt;
    if (const json::Array* array = json::as_array(*body)) {
        if (array->empty()) return std::nullopt;
        const json::Value& first = (*array)[0];
        const json::Value* code = json::find(first, "errorCode");
        const json::Value* message = json::find(first, "message");
        if (code == nullptr || message == nullptr) return std::nullopt;
        auto code_text = json::as_string(*code);
        auto message_text = json::as_string(*message);
        if (!code_text || !message_text) return std::nullopt;
        return fmt::format("{}: {}", *code_text, *message_text);
    }
    if (const json::Value* message = json::find(*body, "message")) {
        if (auto text = json::as_string(*message)) return std::string(*text);
    }
    return std::nullopt;
}

std::expected<IncludedResponse, IncludedResponseFault> parse_included_response(std::string_view stdout_text) {
    std::size_t line_end = stdout_text.find('\n');
    std::string_view first = strip_carriage_return(stdout_text.substr(0, line_end));
    if (!first.starts_with("HTTP/")) return std::unexpected(IncludedResponseFault::NoStatusLine);
    const std::optional<std::int64_t> code = status_code_of(first);
    if (!code) return std::unexpected(IncludedResponseFault::NoStatusCode);

    IncludedResponse response;
    response.status_code = *code;
    const std::size_t headers_start = line_end == std::string_view::npos ? stdout_text.size() : line_end + 1;
    // The lines that read as headers, each as its start and its name and value.
    struct HeaderLine {
        std::size_t start;
        std::string_view name;
        std::string_view value;
    };
    std::vector<HeaderLine> lines;
    std::size_t position = headers_start;
    while (position < stdout_text.size()) {
        line_end = stdout_text.find('\n', position);
        const std::size_t end = line_end == std::string_view::npos ? stdout_text.size() : line_end;
        const auto header = header_of(strip_carriage_return(stdout_text.substr(position, end - position)));
        if (!header) break;
        lines.push_back({position, header->first, header->second});
        position = line_end == std::string_view::npos ? stdout_text.size() : line_end + 1;
    }
    // The first "content-length" is the server's; a later one may be a line of the body. It counts the
    // printed bytes only for a body the CLI printed raw: not for one sent compressed (the count is of
    // the compressed bytes), nor for a JSON body, which the CLI prints in a form of its own and which
    // never begins with a line like a header.
    const auto length_line =
        std::find_if(lines.begin(), lines.end(), [](const HeaderLine& line) { return line.name == "content-length"; });
    const bool compressed = std::ranges::any_of(lines, [](const HeaderLine& line) {
        return line.name == "content-encoding" && line.value != "identity";
    });
    const auto printed_json = [&] {
        std::string_view rest = stdout_text.substr(position);
        if (rest.ends_with('\n')) rest.remove_suffix(1);
        return !rest.empty() && json::parse(rest).has_value();
    };
    if (length_line != lines.end() && !compressed && stdout_text.ends_with('\n') && !printed_json()) {
        std::size_t length = 0;
        const std::string_view digits = length_line->value;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (error == std::errc() && end == digits.data() + digits.size() && length < stdout_text.size()) {
            const std::size_t start = stdout_text.size() - 1 - length;
            const auto first_body_line = std::find_if(
                std::next(length_line), lines.end(), [start](const HeaderLine& line) { return line.start == start; });
            if (first_body_line != lines.end()) {
                lines.erase(first_body_line, lines.end());
                position = start;
            }
        }
    }
    for (const HeaderLine& line : lines) response.headers[std::string(line.name)] = std::string(line.value);

    std::string_view body = stdout_text.substr(position);
    if (body.ends_with('\n')) body.remove_suffix(1);
    response.raw_body = std::string(body);
    if (body.empty()) {
        response.body = nullptr;
    } else if (auto document = json::parse(body)) {
        response.body = std::move(*document);
    } else {
        response.body = json::String(body);
    }
    return response;
}

std::string cli_error_text(std::string_view stderr_text) {
    std::string cleaned = without_terminal_escapes(catalogs::strip_cli_update_warnings(stderr_text));
    // Notices printed before the error (the first run's usage-data notice) are not part of it.
    for (std::size_t start = 0; start < cleaned.size();) {
        const std::size_t end = std::min(cleaned.find('\n', start), cleaned.size());
        if (text::trim(std::string_view(cleaned).substr(start, end - start)).starts_with("Error")) {
            cleaned.erase(0, start);
            break;
        }
        start = end + 1;
    }
    cleaned = SfCliGateway::sanitize(cleaned);
    cleaned = text::collapse_white_space(text::replace_control_characters(cleaned));
    return std::string(text::first_chars(cleaned, catalogs::kMaxDetailChars));
}

std::expected<RestResponse, CatalogError> settle_body_request(std::expected<RestResponse, CatalogError> outcome,
                                                              const std::filesystem::path& folder,
                                                              std::error_code removal_error, std::string_view path,
                                                              const SfCliGateway& gateway) {
    if (!outcome || !removal_error) return outcome;
    const std::string note =
        fmt::format("{} on {} succeeded, but its request body folder {} could not be removed ({}).", kRequestLabel,
                    redacted_path(path), text::decode_lossy(folder.string()),
                    SfCliGateway::sanitize(removal_error.message()));
    if (gateway.log()) gateway.log()->failure(note);
    support::report_diagnostic(note);
    return outcome;
}

}  // namespace rest

std::expected<RestResponse, CatalogError> SfRestChannel::run(const std::vector<std::string>& arguments,
                                                             std::string_view path,
                                                             const domain::CancellationToken& token) const {
    auto answer = gateway_->execute_raw(arguments, std::nullopt, timeout_, token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));

    auto response = rest::parse_included_response(answer->raw_stdout);
    if (!response) {
        if (response.error() == rest::IncludedResponseFault::NoStatusCode && !answer->timed_out) {
            return std::unexpected(rest::sentence(fmt::format("{} failed without an HTTP status code on {}. {}",
                                                              rest::kRequestLabel, rest::redacted_path(path),
                                                              rest::kRequestHint)));
        }
        std::string reason = rest::cli_error_text(answer->stderr_text);
        return std::unexpected(rest::refusal(path, reason.empty() ? std::nullopt : std::optional(std::move(reason))));
    }

    const std::int64_t code = response->status_code;
    const bool two_hundreds = code >= 200 && code <= 299;
    if (answer->timed_out) return std::unexpected(rest::refusal(path, rest::refusal_reason_from_body(&response->body)));
    if (!two_hundreds) {
        return std::unexpected(rest::sentence(
            fmt::format("{} failed with HTTP {} on {}{}. {}", rest::kRequestLabel, code, rest::redacted_path(path),
                        rest::reason_suffix(rest::refusal_reason_from_body(&response->body)), rest::kRequestHint)));
    }
    if (answer->exit_code != 0) {
        return std::unexpected(rest::refusal(path, rest::refusal_reason_from_body(&response->body)));
    }
    return RestResponse{std::move(response->body), code, std::move(response->raw_body)};
}

std::expected<RestResponse, CatalogError> SfRestChannel::get(std::string_view alias, std::string_view path,
                                                             const domain::CancellationToken& token) const {
    rest::require_alias(alias);
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    if (!rest::is_valid_rest_path(path)) return std::unexpected(rest::unsupported_path());
    return run({"api", "request", "rest", std::string(path), "--method", "GET", "--include", "--target-org",
                std::string(alias)},
               path, token);
}

std::expected<RestResponse, CatalogError> SfRestChannel::post(std::string_view alias, std::string_view path,
                                                              std::string_view body,
                                                              const domain::CancellationToken& token) const {
    rest::require_alias(alias);
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    if (!rest::is_valid_rest_path(path)) return std::unexpected(rest::unsupported_path());
    return send(alias, path, RestMethod::Post, body, token);
}

std::expected<RestResponse, CatalogError> SfRestChannel::patch(std::string_view alias, std::string_view path,
                                                               std::string_view body,
                                                               const domain::CancellationToken& token) const {
    rest::require_alias(alias);
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    if (!rest::is_valid_rest_path(path)) return std::unexpected(rest::unsupported_path());
    return send(alias, path, RestMethod::Patch, body, token);
}

std::expected<RestResponse, CatalogError> SfRestChannel::delete_composite(
    std::string_view alias, std::string_view api_version, std::span<const std::string> ids,
    const domain::CancellationToken& token) const {
    rest::require_alias(alias);
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    if (ids.empty() || ids.size() > rest::kMaxDeleteIds) {
        return std::unexpected(rest::sentence(fmt::format("{} failed: a delete request carries from 1 to {} record ids.",
                                                          rest::kRequestLabel, rest::kMaxDeleteIds)));
    }
    const bool version_ok = !api_version.empty() && api_version.find("..") == std::string_view::npos &&
                            std::ranges::all_of(api_version, [](char c) { return rest::is_ascii_digit(c) || c == '.'; });
    if (!version_ok) return std::unexpected(rest::unsupported_path());
    for (const std::string& id : ids) {
        if (!rest::is_valid_record_id(id)) {
            return std::unexpected(rest::sentence(
                fmt::format("{} failed: a record id does not look like a Salesforce id.", rest::kRequestLabel)));
        }
    }
    const std::string path =
        fmt::format("/services/data/v{}/composite/sobjects?ids={}&allOrNone=false", api_version, fmt::join(ids, ","));
    return send(alias, path, RestMethod::Delete, "{}", token);
}

std::expected<RestResponse, CatalogError> SfRestChannel::send(std::string_view alias, std::string_view path,
                                                              RestMethod method, std::string_view body,
                                                              const domain::CancellationToken& token) const {
    // The body folder lies in the system's temporary folder, private to this user.
    auto folder = platform_fs::files::PrivateTempDir::create(rest::kBodyDirectoryPrefix);
    if (!folder) return std::unexpected(rest::body_file_refusal(path, folder.error().message()));
    const std::filesystem::path folder_path = folder->path();

    const std::filesystem::path file = folder_path / rest::kBodyFileName;
    if (std::error_code error = platform_fs::files::write_new_private_file(file, body)) {
        return std::unexpected(rest::body_file_refusal(path, error.message()));
    }
    const std::string file_text = file.string();
    if (!text::is_valid_utf8(file_text)) {
        return std::unexpected(rest::body_file_refusal(path, "the temporary path is not valid UTF-8"));
    }

    auto outcome = run({"api", "request", "rest", std::string(path), "--method", std::string(wire_word(method)),
                        "--body", "@" + file_text, "--include", "--target-org", std::string(alias)},
                       path, token);

    const std::error_code removal_error = folder->remove();
    return rest::settle_body_request(std::move(outcome), folder_path, removal_error, path, *gateway_);
}

}  // namespace ambrel::cli

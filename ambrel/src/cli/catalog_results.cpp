#include "cli/catalog_results.hpp"

#include <fmt/format.h>

#include "cli/redaction.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {

namespace {

constexpr std::string_view kOrgLabel = "org catalog command";
constexpr std::string_view kOrgGuidance = "Run 'sf org list --json' to verify local org authentication, then retry.";
constexpr std::string_view kObjectLabel = "object catalog command";
constexpr std::string_view kObjectGuidance =
    "Verify the selected Salesforce org is authenticated and retry object loading.";
constexpr std::string_view kMetadataLabel = "metadata listing command";
constexpr std::string_view kComponentGuidance =
    "Verify the selected Salesforce org is authenticated and retry component loading.";
constexpr std::string_view kRecordLabel = "Revenue Cloud record listing command";

// U+203A SINGLE RIGHT-POINTING ANGLE QUOTATION MARK and U+00BB RIGHT-POINTING DOUBLE ANGLE
// QUOTATION MARK: the CLI's continuation marks.
constexpr std::string_view kSingleAngle = "\xE2\x80\xBA";
constexpr std::string_view kDoubleAngle = "\xC2\xBB";

std::string status_text(const json::Value& document) {
    const json::Value* status = json::find(document, "status");
    if (status == nullptr || status->is_null()) return "missing";
    if (json::is_integer(*status)) return *json::number_text(*status);
    return fmt::format("invalid {}", json::type_word(*status));
}

bool is_zero_status(const json::Value& document) {
    const json::Value* status = json::find(document, "status");
    if (status == nullptr || !json::is_integer(*status)) return false;
    const auto value = json::as_int64(*status);
    return value && *value == 0;
}

// A member that is a text and not blank, trimmed.
std::optional<std::string_view> non_blank_trimmed(const json::Value& document, std::string_view key) {
    const json::Value* member = json::find(document, key);
    if (member == nullptr) return std::nullopt;
    const auto text = json::as_string(*member);
    if (!text || text::is_blank(*text)) return std::nullopt;
    return text::trim(*text);
}

}  // namespace

std::optional<std::string> json_error_detail(std::string_view stdout_text) {
    const auto document = json::parse(stdout_text);
    if (!document) return std::nullopt;
    const auto message = non_blank_trimmed(*document, "message");
    if (!message) return std::nullopt;
    const auto name = non_blank_trimmed(*document, "name");
    if (!name) return std::string(*message);
    const std::size_t colon = name->rfind(':');
    const std::string_view tail = colon == std::string_view::npos ? *name : name->substr(colon + 1);
    if (message->starts_with(tail)) return std::string(*message);
    return fmt::format("{}: {}", *name, *message);
}

namespace {

std::optional<std::string> failure_detail(const CliJsonResult& result) {
    if (auto detail = json_error_detail(result.stdout_text)) return detail;
    std::string stripped = strip_cli_update_warnings(result.stderr_text);
    if (!text::is_blank(stripped)) return stripped;
    if (!text::is_blank(result.stdout_text)) return result.stdout_text;
    if (!text::is_blank(result.stderr_text)) return result.stderr_text;
    return std::nullopt;
}

std::string clean_detail(std::string_view detail) {
    const std::string scrubbed = gateway::redact_secret_assignments(gateway::redact_credentials(detail));
    return std::string(text::first_chars(scrubbed, kMaxDetailChars));
}

// The line without terminal escape sequences: ESC "[" up to and including the next ASCII letter (the
// rest of the line when none follows).
std::string without_escape_sequences(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < line.size() && !((line[j] >= 'A' && line[j] <= 'Z') || (line[j] >= 'a' && line[j] <= 'z'))) {
                ++j;
            }
            i = j < line.size() ? j + 1 : line.size();
            continue;
        }
        out += line[i];
        ++i;
    }
    return out;
}

std::string_view without_leading_marks(std::string_view text) {
    while (true) {
        if (text.starts_with(kSingleAngle)) {
            text.remove_prefix(kSingleAngle.size());
        } else if (text.starts_with(kDoubleAngle)) {
            text.remove_prefix(kDoubleAngle.size());
        } else {
            return text;
        }
    }
}

CatalogError malformed_with(std::string_view label, std::string_view guidance, std::string_view path,
                            std::string_view problem) {
    return malformed_catalog_response(label, guidance, fmt::format("{} {}", path, problem));
}

std::string member_path(std::string_view path, std::string_view key) { return fmt::format("{}.{}", path, key); }

}  // namespace

std::expected<std::reference_wrapper<const json::Value>, CatalogError> require_successful_catalog_command(
    const CliJsonResult& result, std::string_view label, std::string_view guidance) {
    if (is_zero_status(result.json) && result.exit_code == 0 && !result.timed_out) return std::cref(result.json);

    std::string sentence = fmt::format("Salesforce CLI {} failed (exit code {}, status {}, timed out: {}). {}", label,
                                       result.exit_code, status_text(result.json), result.timed_out, guidance);
    if (const auto detail = failure_detail(result)) {
        sentence += " CLI details: ";
        sentence += clean_detail(*detail);
    }
    return std::unexpected(CatalogError::Message{std::move(sentence)});
}

std::optional<CatalogError> alias_refusal(std::string_view alias) {
    if (!text::contains_control(alias)) return std::nullopt;
    return CatalogError::Message{std::string(kAliasControlRefusal)};
}

std::optional<std::string> cli_error_answer_detail(std::string_view stdout_text) {
    auto detail = json_error_detail(stdout_text);
    if (!detail) return std::nullopt;
    return clean_detail(*detail);
}

std::string strip_cli_update_warnings(std::string_view text) {
    std::string out;
    bool first_kept = true;
    bool inside_warning = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool has_break = end != std::string_view::npos;
        if (!has_break) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (has_break && line.ends_with('\r')) line.remove_suffix(1);
        start = has_break ? end + 1 : text.size();

        const std::string cleaned = without_escape_sequences(line);
        const std::string_view trimmed = text::trim(cleaned);
        const bool marked = trimmed.starts_with(kSingleAngle) || trimmed.starts_with(kDoubleAngle);
        const bool warning = text::trim(without_leading_marks(trimmed)).starts_with("Warning:");
        const bool dropped = warning || (marked && inside_warning);
        inside_warning = dropped;
        if (dropped) continue;
        if (!first_kept) out += '\n';
        first_kept = false;
        out += line;
    }
    return out;
}

CatalogError malformed_catalog_response(std::string_view label, std::string_view guidance, std::string_view detail) {
    return CatalogError::Message{
        fmt::format("Salesforce CLI {} returned an invalid response: {}. {}", label, detail, guidance)};
}

CatalogError malformed_org(std::string_view path, std::string_view problem) {
    return malformed_with(kOrgLabel, kOrgGuidance, path, problem);
}

CatalogError malformed_object(std::string_view path, std::string_view problem) {
    return malformed_with(kObjectLabel, kObjectGuidance, path, problem);
}

CatalogError malformed_metadata_list(std::string_view path, std::string_view problem) {
    return malformed_with(kMetadataLabel, kComponentGuidance, path, problem);
}

std::expected<std::string, CatalogError> org_required_non_blank_text(const json::Object& object, std::string_view key,
                                                                     std::string_view path) {
    const json::Value* member = json::find(object, key);
    const auto text = member == nullptr ? std::nullopt : json::as_string(*member);
    if (!text || text::is_blank(*text)) {
        return std::unexpected(malformed_org(member_path(path, key), "value must be non-blank text"));
    }
    return std::string(*text);
}

std::expected<std::optional<std::string>, CatalogError> org_optional_text(const json::Object& object,
                                                                          std::string_view key,
                                                                          std::string_view path) {
    const json::Value* member = json::find(object, key);
    if (member == nullptr || member->is_null()) return std::nullopt;
    const auto text = json::as_string(*member);
    if (!text) return std::unexpected(malformed_org(member_path(path, key), "value must be text or null"));
    if (text::is_blank(*text)) return std::nullopt;
    return std::string(*text);
}

std::expected<std::optional<std::string>, CatalogError> object_required_nullable_text(const json::Object& object,
                                                                                      std::string_view key,
                                                                                      std::string_view path) {
    const json::Value* member = json::find(object, key);
    if (member == nullptr) {
        return std::unexpected(malformed_object(member_path(path, key), "value must be present as text or null"));
    }
    if (member->is_null()) return std::nullopt;
    const auto text = json::as_string(*member);
    if (!text) return std::unexpected(malformed_object(member_path(path, key), "value must be text or null"));
    return std::string(*text);
}

std::expected<std::optional<std::string>, CatalogError> metadata_optional_text(const json::Object& object,
                                                                               std::string_view key,
                                                                               std::string_view path) {
    const json::Value* member = json::find(object, key);
    if (member == nullptr || member->is_null()) return std::nullopt;
    const auto text = json::as_string(*member);
    if (!text) return std::unexpected(malformed_metadata_list(member_path(path, key), "value must be text or null"));
    return std::string(*text);
}

std::expected<std::string, CatalogError> required_text(const json::Object& record, std::string_view key) {
    const json::Value* member = json::find(record, key);
    const auto text = member == nullptr ? std::nullopt : json::as_string(*member);
    if (!text || text::is_blank(*text)) {
        return std::unexpected(malformed_catalog_response(
            kRecordLabel, kComponentGuidance, fmt::format("result.records[].{} must be non-empty text", key)));
    }
    return std::string(*text);
}

}  // namespace ambrel::cli::catalogs

#include "cli/redaction.hpp"

#include <algorithm>
#include <vector>

#include <re2/re2.h>

#include "git/sanitize.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli::gateway {

namespace {

// Unicode White_Space as a character class (RE2's \s is ASCII only and lacks the vertical tab).
constexpr std::string_view kUnicodeSpace = R"([\s\x{0B}\p{Z}\x{85}])";

std::string secret_assignment_source() {
    std::string keys;
    for (std::string_view key : kSecretKeys) {
        if (!keys.empty()) keys += '|';
        keys += RE2::QuoteMeta(key);
    }
    const std::string space(kUnicodeSpace);
    return "(?i)([\"']?(?:" + keys + ")[\"']?" + space + "*[:=]" + space + "*)[^\\r\\n]*";
}

const RE2& secret_assignment() {
    static const RE2 pattern(secret_assignment_source());
    support::require(pattern.ok(), "secret assignment pattern compiles");
    return pattern;
}

// Every access token begins with the key prefix of an organization id.
constexpr std::string_view kAccessTokenPrefix = "00D";

// An access token (session id): an org id of 15 or 18 letters and digits, "!", and the token's body,
// which ends before a final full stop (the end of a sentence).
const RE2& access_token() {
    static const RE2 pattern(R"(\b00D[0-9A-Za-z]{12}(?:[0-9A-Za-z]{3})?![0-9A-Za-z._]*[0-9A-Za-z_])");
    support::require(pattern.ok(), "access token pattern compiles");
    return pattern;
}

}  // namespace

bool is_secret_key(std::string_view name) noexcept {
    // The keys are 10 to 13 bytes long; anything else cannot match.
    if (name.size() < 10 || name.size() > 13) return false;
    return std::ranges::any_of(
        kSecretKeys, [&](std::string_view key) { return text::equals_ascii_case_insensitive(name, key); });
}

void redact_json(json::Value& root) {
    // An explicit stack keeps deeply nested answers from exhausting the thread's stack.
    std::vector<json::Value*> pending{&root};
    while (!pending.empty()) {
        json::Value* value = pending.back();
        pending.pop_back();
        if (auto* array = value->if_array()) {
            for (auto& element : *array) pending.push_back(&element);
        } else if (auto* object = value->if_object()) {
            for (auto& member : *object) {
                if (is_secret_key(member.key())) {
                    member.value() = json::String(kRedacted);
                } else {
                    pending.push_back(&member.value());
                }
            }
        } else if (auto* string = value->if_string()) {
            const std::string_view original(string->data(), string->size());
            std::string redacted = redact_credentials(original);
            if (redacted != original) *value = json::String(redacted);
        }
    }
}

std::string redact_credentials(std::string_view text) {
    std::string out = git::sanitize::scrub_credential_urls(text);
    // The cheap test spares the expression engine on texts that cannot hold a token.
    if (out.find(kAccessTokenPrefix) != std::string::npos) {
        RE2::GlobalReplace(&out, access_token(), std::string(kRedacted));
    }
    return out;
}

std::string redact_secret_assignments(std::string_view text) {
    std::string out(text);
    RE2::GlobalReplace(&out, secret_assignment(), R"(\1"[REDACTED]")");
    return out;
}

std::string sanitize(std::string_view text) {
    if (text.empty()) return {};
    if (auto parsed = json::parse(text)) {
        redact_json(*parsed);
        return json::write_compact(*parsed);
    }
    return redact_secret_assignments(redact_credentials(text));
}

}  // namespace ambrel::cli::gateway

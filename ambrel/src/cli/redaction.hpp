#pragma once

// Secret redaction for everything the Salesforce CLI prints: the values of a fixed set of secret keys
// become "[REDACTED]" before any text reaches a result, a message or the session log.

#include <array>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace ambrel::cli::gateway {

// The keys whose values are secrets, matched ignoring ASCII letter case.
inline constexpr std::array<std::string_view, 6> kSecretKeys = {
    "accessToken", "refreshToken", "authorization", "clientSecret", "sfdxAuthUrl", "set-cookie"};

// The text that takes a secret's place.
inline constexpr std::string_view kRedacted = "[REDACTED]";

// True when the member name is one of the secret keys (ASCII letter case ignored).
bool is_secret_key(std::string_view name) noexcept;

// Replaces, at any depth, the value of every member named by a secret key with the string
// "[REDACTED]" (whatever the value was, an object or array too), and redacts the credentials inside
// every other string value (`redact_credentials`).
void redact_json(json::Value& value);

// In free text: the credentials a CLI may print outside an assignment. Every URL loses its user
// information (an auth URL "force://PlatformCLI::{secret}@host" becomes "force://host"), and every
// access token (an org id, "!" and the token's body, "00D…!…") becomes "[REDACTED]".
std::string redact_credentials(std::string_view text);

// In free text: every assignment of a secret key with ":" or "=" (optionally quoted, white space
// around the separator allowed, even across line breaks) keeps the key and separator and loses the
// rest of its line, which becomes "[REDACTED]" in double quotes.
std::string redact_secret_assignments(std::string_view text);

// A text that is one JSON document is redacted as JSON and written back compactly; any other text
// has its credentials and secret assignments redacted. An empty text stays empty.
std::string sanitize(std::string_view text);

}  // namespace ambrel::cli::gateway

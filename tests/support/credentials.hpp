#pragma once

// Credentials as a failing Salesforce CLI may print them, for the tests that check that no road lets
// one reach a message, a result or the session log: an auth URL whose user information holds the
// refresh token, and an access token (an org id, "!" and the token's body).

#include <string_view>

namespace ambrel::testing {

// The secret part of the auth URL and the access token: neither may appear anywhere.
inline constexpr std::string_view kAuthUrlSecret = "5Aep861KIwKdekr90I4iHdtDgWwRoG7O_cC3sEcReT.x";
inline constexpr std::string_view kAccessTokenBody = "AQ0AQH1x0W4mf8s7dZ8wqVR3sL.ZwVb9qk_EfGhIjK";

inline constexpr std::string_view kAuthUrl =
    "force://PlatformCLI::5Aep861KIwKdekr90I4iHdtDgWwRoG7O_cC3sEcReT.x@acme.my.salesforce.com";
inline constexpr std::string_view kAccessToken = "00D5g000004BHZR!AQ0AQH1x0W4mf8s7dZ8wqVR3sL.ZwVb9qk_EfGhIjK";

// What each becomes once scrubbed.
inline constexpr std::string_view kScrubbedAuthUrl = "force://acme.my.salesforce.com";
inline constexpr std::string_view kScrubbedAccessToken = "[REDACTED]";

// A failure sentence that carries both, as the CLI prints it.
inline constexpr std::string_view kCredentialFailure =
    "Failed to refresh force://PlatformCLI::5Aep861KIwKdekr90I4iHdtDgWwRoG7O_cC3sEcReT.x@acme.my.salesforce.com "
    "with session 00D5g000004BHZR!AQ0AQH1x0W4mf8s7dZ8wqVR3sL.ZwVb9qk_EfGhIjK.";
// That sentence scrubbed.
inline constexpr std::string_view kScrubbedCredentialFailure =
    "Failed to refresh force://acme.my.salesforce.com with session [REDACTED].";

}  // namespace ambrel::testing

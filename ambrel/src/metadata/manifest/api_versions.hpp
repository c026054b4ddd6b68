#pragma once

// API version texts and the lexical path normalisation that the workspace, the retrieve services and
// the manifest writers share. Everything here is a pure function of its input (and, for a relative
// path, of the current directory) and safe on any thread; the version pattern is compiled once.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "endpoint/org_alias.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::metadata::manifest {

// The version used when no org reports a usable one.
inline constexpr std::string_view kDefaultApiVersion = "65.0";

// ASCII digits, optionally a point and more digits, and nothing else (no sign, no space, no line end).
const re2::RE2& API_VERSION();

// True when the whole text matches `API_VERSION`.
bool is_api_version(std::string_view text);

// (major, minor) of a version text: each part an unsigned 32-bit decimal number, one leading "+"
// accepted; "65" is (65, 0); "", ".5", "65.", "-1.0" and "65.2.1" give nothing.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_api_version(std::string_view text);

// The lowest usable version among the candidates ("65.0" when none is usable), rendered as
// "{major}.{minor}" (so "065.00" becomes "65.0" and "60.10" stays).
std::string api_version_for_orgs(const std::optional<std::string>& source, const std::optional<std::string>& target);
// The same over the instance API versions of the orgs present on each side.
std::string api_version_for_orgs(const std::optional<endpoint::OrgAlias>& source,
                                 const std::optional<endpoint::OrgAlias>& target);

// The path made absolute against the current directory (kept relative when that cannot be read), with
// "." dropped and ".." removing the last component written (nothing at the root). Links are not
// resolved and nothing is tested for existence. Never fails.
std::filesystem::path absolute_normalized(const std::filesystem::path& path);

}  // namespace ambrel::metadata::manifest

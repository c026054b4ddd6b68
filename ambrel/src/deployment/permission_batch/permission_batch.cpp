#include "deployment/permission_batch/permission_batch.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include "text/text.hpp"

namespace ambrel::deployment::permission_batch {
namespace {

const re2::RE2& namespaced_full_name() {
    static const re2::RE2 compiled{
        re2::StringPiece(kNamespacedFullNamePattern.data(), kNamespacedFullNamePattern.size())};
    return compiled;
}

bool is_refused_char(char32_t c) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return true;
    return std::u32string_view(U"/\\<>:\"|?*").find(c) != std::u32string_view::npos;
}

}  // namespace

std::optional<std::string> validate_full_name(std::string_view full_name) {
    const auto refused = std::optional<std::string>(std::string(kIllegalArgument));
    if (text::is_blank(full_name) || text::trim(full_name) != full_name) return refused;
    if (full_name == "." || full_name == "..") return refused;
    if (!text::is_valid_utf8(full_name)) return refused;
    for (std::size_t offset = 0; offset < full_name.size();) {
        const auto decoded = text::decode_at(full_name, offset);
        if (is_refused_char(decoded.value)) return refused;
        offset += decoded.length;
    }
    if (re2::RE2::FullMatch(re2::StringPiece(full_name.data(), full_name.size()), namespaced_full_name())) {
        return refused;
    }
    return std::nullopt;
}

std::string append_kind(std::string_view message, std::string_view kind) {
    const std::string joined =
        fmt::format("{} {}", message, text::is_blank(kind) ? kUnexpectedFailure : kind);
    return std::string(text::first_chars(joined, kMaxMessageChars));
}

deploy_gateway::MetadataComponentKey to_metadata_component_key(
    const metadata::permission_models::PermissionComponentKey& key) {
    return {key.kind() == domain::FlsContainerKind::Profile ? "Profile" : "PermissionSet", key.full_name()};
}

}  // namespace ambrel::deployment::permission_batch

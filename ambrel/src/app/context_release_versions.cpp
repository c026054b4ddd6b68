#include "app/context_release_versions.hpp"

#include <optional>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "app/compare_steps.hpp"
#include "app/context_definition_adaptation.hpp"
#include "app/row_notes.hpp"
#include "metadata/context_release_version/context_release_version.hpp"
#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"

namespace ambrel::app {
namespace {

namespace crv = metadata::context_release_version;

constexpr std::string_view kContextDefinitionWireId = "ContextDefinition";
constexpr std::string_view kProjectSourceFolder = "force-app/main/default";

// The version parts compared as sequences: part by part, and a longer sequence above its prefix.
bool sequence_less(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

// Name -> the target copy's release version text, or none when the copy exists without a usable one.
std::map<std::string, std::optional<std::string>> target_release_versions(const ComparisonSession& session,
                                                                          metadata_types::MetadataType type) {
    std::map<std::string, std::optional<std::string>> versions;
    if (!session.workspace()) return versions;
    const auto& format = type.descriptor().content_format;
    const std::filesystem::path folder = session.workspace()->target_project() / kProjectSourceFolder;
    for (const auto& row : session.rows()) {
        if (row.key().metadata_type != type) continue;
        const auto relative = format.edited_document_path(row.key().name);
        if (!relative || !metadata_types::is_safe_relative_path_for(*relative, false)) continue;
        auto text = platform_fs::files::read_regular_file(folder / *relative);
        if (!text) {
            if (text.error() == std::errc::no_such_file_or_directory) {
                versions.erase(row.key().name);
            } else {
                versions.insert_or_assign(row.key().name, std::nullopt);
            }
            continue;
        }
        std::optional<std::string> version;
        if (auto tag = crv::release_version(*text); tag && *tag && crv::parse_release_version((*tag)->value)) {
            version = (*tag)->value;
        }
        versions.insert_or_assign(row.key().name, std::move(version));
    }
    return versions;
}

}  // namespace

UseCaseResult<ContextReleaseVersionFiltering> filter_context_release_versions(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    std::vector<domain::ComponentDifference>& rows, const domain::CancellationToken& token) {
    ContextReleaseVersionFiltering filtering;
    const auto type = metadata_types::metadata_type_by_wire_id(kContextDefinitionWireId);
    if (!type || !session.target().is_org()) return filtering;
    if (std::none_of(rows.begin(), rows.end(), [&](const auto& row) { return takes_part(row, *type); })) {
        return filtering;
    }
    if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());

    const auto versions = target_release_versions(session, *type);
    std::optional<std::pair<std::vector<std::uint64_t>, std::string>> highest;
    for (const auto& [name, version] : versions) {
        if (!version) continue;
        auto parts = crv::parse_release_version(*version);
        if (!parts) continue;
        // Later names win among equal versions.
        if (!highest || !sequence_less(*parts, highest->first)) highest.emplace(std::move(*parts), *version);
    }
    std::set<domain::ComponentKey> failed_keys;
    for (auto& row : rows) {
        if (!takes_part(row, *type)) continue;
        std::string target_value;
        if (const auto entry = versions.find(row.key().name); entry != versions.end()) {
            if (!entry->second) continue;
            target_value = *entry->second;
        } else if (highest) {
            target_value = highest->second;
        } else {
            continue;
        }
        auto rewrite = crv::rewrite_release_version(row.source.document, target_value);
        if (!rewrite) {
            filtering.failed.push_back(profile_failure(
                row, service.sanitize_diagnostic(fmt::format(fmt::runtime(kContextParseMessage), rewrite.error().message()))));
            failed_keys.insert(row.key());
            continue;
        }
        if (!*rewrite) continue;
        filtering.notes.insert_or_assign(row.key(),
                                         fmt::format(fmt::runtime(kReleaseVersionNote), (*rewrite)->previous, (*rewrite)->value));
        row.source.document = std::move((*rewrite)->document);
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

}  // namespace ambrel::app

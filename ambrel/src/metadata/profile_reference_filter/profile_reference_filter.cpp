#include "metadata/profile_reference_filter/profile_reference_filter.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::profile_reference_filter {
namespace {

struct KindNames {
    ReferenceKind kind;
    std::string_view tag;
    std::string_view type_name;
};

constexpr std::array<KindNames, kReferenceKindCount> kKinds = {{
    {ReferenceKind::Field, "field", "CustomField"},
    {ReferenceKind::Object, "object", "CustomObject"},
    {ReferenceKind::ApexClass, "apexClass", "ApexClass"},
    {ReferenceKind::ApexPage, "apexPage", "ApexPage"},
    {ReferenceKind::Tab, "tab", "CustomTab"},
    {ReferenceKind::RecordType, "recordType", "RecordType"},
    {ReferenceKind::Layout, "layout", "Layout"},
    {ReferenceKind::Application, "application", "CustomApplication"},
    {ReferenceKind::CustomPermission, "customPermission", "CustomPermission"},
    {ReferenceKind::Flow, "flow", "Flow"},
    {ReferenceKind::CustomMetadataType, "customMetadataType", "CustomMetadataType"},
    {ReferenceKind::CustomSetting, "customSetting", "CustomSetting"},
}};

struct ReferenceRule {
    std::string_view section;
    std::string_view child;
    ReferenceKind kind;
    std::optional<std::string_view> second_child;
    ReferenceKind second_kind = ReferenceKind::RecordType;
};

constexpr std::array<ReferenceRule, 13> kRules = {{
    {"fieldPermissions", "field", ReferenceKind::Field, std::nullopt},
    {"objectPermissions", "object", ReferenceKind::Object, std::nullopt},
    {"classAccesses", "apexClass", ReferenceKind::ApexClass, std::nullopt},
    {"pageAccesses", "apexPage", ReferenceKind::ApexPage, std::nullopt},
    {"tabVisibilities", "tab", ReferenceKind::Tab, std::nullopt},
    {"tabSettings", "tab", ReferenceKind::Tab, std::nullopt},
    {"recordTypeVisibilities", "recordType", ReferenceKind::RecordType, std::nullopt},
    {"layoutAssignments", "layout", ReferenceKind::Layout, "recordType", ReferenceKind::RecordType},
    {"applicationVisibilities", "application", ReferenceKind::Application, std::nullopt},
    {"customPermissions", "name", ReferenceKind::CustomPermission, std::nullopt},
    {"flowAccesses", "flow", ReferenceKind::Flow, std::nullopt},
    {"customMetadataTypeAccesses", "name", ReferenceKind::CustomMetadataType, std::nullopt},
    {"customSettingAccesses", "name", ReferenceKind::CustomSetting, std::nullopt},
}};

const ReferenceRule* rule_for(std::string_view section) noexcept {
    for (const ReferenceRule& rule : kRules) {
        if (rule.section == section) return &rule;
    }
    return nullptr;
}

using Pair = std::pair<ReferenceKind, std::string>;

struct Block {
    std::vector<Pair> references;
    std::size_t start = 0;
    std::size_t end = 0;
};

struct PendingBlock {
    const ReferenceRule* rule = nullptr;
    std::vector<Pair> references;
    std::size_t start = 0;
};

// A block must carry exactly one non-empty reference of its rule's kind and, when the rule has a
// second child, none or one non-empty second reference.
bool finish_block(const PendingBlock& pending) {
    std::size_t firsts = 0;
    std::size_t seconds = 0;
    for (const auto& [kind, name] : pending.references) {
        const bool first = kind == pending.rule->kind;
        if (name.empty()) return false;
        if (first) {
            ++firsts;
        } else {
            ++seconds;
        }
    }
    return firsts == 1 && seconds <= 1;
}

// Appends what a reference event stands for; a refusal text when it cannot be resolved.
std::optional<std::string> resolve_ref(std::string& buffer, const xml::Event& event) {
    if (auto valid = text::validate_utf8(event.name); !valid) return valid.error().message();
    if (auto appended = xml::append_reference(buffer, event); !appended) return appended.error().description;
    return std::nullopt;
}

std::expected<std::vector<Block>, std::string> index_blocks(std::string_view body) {
    xml::Reader reader(body);
    std::vector<Block> blocks;
    std::optional<PendingBlock> pending;
    std::optional<ReferenceKind> capture;
    std::string buffer;
    std::size_t depth = 0;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Start: {
                const bool watched = depth == 1 || (depth == 2 && pending);
                const auto tag = watched ? document_edits::metadata_local_tag(reader, *event) : std::nullopt;
                if (depth == 1 && tag) {
                    if (const ReferenceRule* rule = rule_for(*tag)) {
                        pending = PendingBlock{rule, {}, event->begin};
                    }
                } else if (depth == 2 && pending && tag) {
                    if (*tag == pending->rule->child) {
                        capture = pending->rule->kind;
                        buffer.clear();
                    } else if (pending->rule->second_child && *tag == *pending->rule->second_child) {
                        capture = pending->rule->second_kind;
                        buffer.clear();
                    }
                }
                ++depth;
                break;
            }
            case xml::EventKind::Empty: {
                if (depth != 1 && !(depth == 2 && pending)) break;
                const auto tag = document_edits::metadata_local_tag(reader, *event);
                if (!tag) break;
                if (depth == 1 && rule_for(*tag)) return std::unexpected(std::string(kBlockReferenceRefusal));
                if (depth == 2 && pending &&
                    (*tag == pending->rule->child ||
                     (pending->rule->second_child && *tag == *pending->rule->second_child))) {
                    return std::unexpected(std::string(kBlockReferenceRefusal));
                }
                break;
            }
            case xml::EventKind::Text:
                if (capture) buffer += reference_parser_frame::decode_text(event->raw);
                break;
            case xml::EventKind::CData:
                if (capture) buffer += text::decode_lossy(event->content);
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capture) {
                    if (auto refusal = resolve_ref(buffer, *event)) return std::unexpected(std::move(*refusal));
                }
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 2) {
                    if (capture && pending) pending->references.emplace_back(*capture, std::string(text::trim(buffer)));
                    capture.reset();
                } else if (depth == 1 && pending) {
                    if (!finish_block(*pending)) return std::unexpected(std::string(kBlockReferenceRefusal));
                    blocks.push_back(Block{std::move(pending->references), pending->start, event->end});
                    pending.reset();
                }
                break;
            case xml::EventKind::Eof:
                if (pending) return std::unexpected(std::string(kBlockReferenceRefusal));
                if (depth != 0) return std::unexpected(std::string(kRootNotClosedRefusal));
                return blocks;
            default:
                break;
        }
    }
}

}  // namespace

std::string_view problem_tag(ReferenceKind kind) noexcept { return kKinds[static_cast<std::size_t>(kind)].tag; }

std::string_view metadata_type_name(ReferenceKind kind) noexcept {
    return kKinds[static_cast<std::size_t>(kind)].type_name;
}

std::optional<ReferenceKind> reference_kind_for_problem_tag(std::string_view tag) noexcept {
    for (const KindNames& names : kKinds) {
        if (names.tag == tag) return names.kind;
    }
    return std::nullopt;
}

bool ProfileReferences::is_empty() const noexcept {
    for (const auto& [kind, set] : names) {
        if (!set.empty()) return false;
    }
    return true;
}

std::expected<ProfileReferences, ProfileFilterError> profile_references(std::string_view document) {
    auto blocks = index_blocks(xml::strip_leading_boms(document));
    if (!blocks) return std::unexpected(ProfileFilterError(std::move(blocks.error())));
    ProfileReferences references;
    for (const Block& block : *blocks) {
        for (const auto& [kind, name] : block.references) references.names[kind].insert(name);
    }
    return references;
}

std::expected<ProfileTrim, ProfileFilterError> filter_profile_references(std::string_view document,
                                                                         const ReferencesByKind& remove) {
    const std::size_t prefix = xml::leading_bom_length(document);
    const std::string_view body = document.substr(prefix);
    auto blocks = index_blocks(body);
    if (!blocks) return std::unexpected(ProfileFilterError(std::move(blocks.error())));

    // Distinct pairs are counted by sorting views into the blocks, not by building sets of copies.
    using PairView = std::pair<ReferenceKind, std::string_view>;
    std::vector<PairView> all;
    std::vector<PairView> kept;
    ProfileTrim trim;
    std::vector<document_edits::Edit> cuts;
    for (const Block& block : *blocks) {
        bool matched = false;
        for (const Pair& pair : block.references) {
            all.emplace_back(pair.first, pair.second);
            const auto names = remove.find(pair.first);
            if (names != remove.end() && names->second.contains(pair.second)) {
                trim.removed.insert(pair);
                matched = true;
            }
        }
        if (matched) {
            const auto bounds = document_edits::line_aware_bounds(body, block.start, block.end);
            cuts.push_back({bounds.start, bounds.end, {}});
        } else {
            for (const Pair& pair : block.references) kept.emplace_back(pair.first, pair.second);
        }
    }
    const auto distinct = [](std::vector<PairView>& pairs) {
        std::sort(pairs.begin(), pairs.end());
        return static_cast<std::size_t>(std::unique(pairs.begin(), pairs.end()) - pairs.begin());
    };
    trim.total = distinct(all);
    trim.kept = distinct(kept);
    trim.document = document_edits::apply_edits(body, std::move(cuts), document.substr(0, prefix));
    return trim;
}

}  // namespace ambrel::metadata::profile_reference_filter

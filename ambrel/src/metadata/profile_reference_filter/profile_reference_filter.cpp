#include "metadata/profile_reference_filter/profile_reference_filter.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/document_edits/name_set.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "support/programming_error.hpp"
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

std::optional<std::size_t> rule_for(std::string_view section) noexcept {
    for (std::size_t i = 0; i < kRules.size(); ++i) {
        if (kRules[i].section == section) return i;
    }
    return std::nullopt;
}

using Pair = std::pair<ReferenceKind, std::string>;

// A section must carry exactly one non-empty reference of its rule's kind and, when the rule has a
// second child, none or one non-empty second reference.
bool is_complete(const ReferenceRule& rule, const std::vector<Pair>& references) {
    std::size_t firsts = 0;
    std::size_t seconds = 0;
    for (const auto& [kind, name] : references) {
        if (name.empty()) return false;
        if (kind == rule.kind) {
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

}  // namespace

void SectionReader::refuse(std::string message) {
    if (!result_) result_.emplace(std::unexpected(std::move(message)));
}

void SectionReader::reader_failed(const xml::Error& error) { refuse(error.message()); }

void SectionReader::finish_section(std::size_t end) {
    if (!is_complete(kRules[*rule_], pending_)) {
        refuse(std::string(kBlockReferenceRefusal));
        return;
    }
    sections_.push_back(ReferenceSection{std::move(pending_), section_start_, end});
    pending_.clear();
    rule_.reset();
}

void SectionReader::take(const xml::Reader& reader, const xml::Event& event) {
    if (result_) return;
    switch (event.kind) {
        case xml::EventKind::Start: {
            const bool watched = depth_ == 1 || (depth_ == 2 && rule_);
            const auto tag = watched ? document_edits::metadata_local_tag(reader, event) : std::nullopt;
            if (depth_ == 1 && tag) {
                if (const auto rule = rule_for(*tag)) {
                    rule_ = rule;
                    section_start_ = event.begin;
                    pending_.clear();
                }
            } else if (depth_ == 2 && rule_ && tag) {
                const ReferenceRule& rule = kRules[*rule_];
                if (*tag == rule.child) {
                    capture_ = rule.kind;
                    buffer_.clear();
                } else if (rule.second_child && *tag == *rule.second_child) {
                    capture_ = rule.second_kind;
                    buffer_.clear();
                }
            }
            ++depth_;
            break;
        }
        case xml::EventKind::Empty: {
            if (depth_ != 1 && !(depth_ == 2 && rule_)) break;
            const auto tag = document_edits::metadata_local_tag(reader, event);
            if (!tag) break;
            if (depth_ == 1 && rule_for(*tag)) {
                refuse(std::string(kBlockReferenceRefusal));
                break;
            }
            if (depth_ == 2 && rule_) {
                const ReferenceRule& rule = kRules[*rule_];
                if (*tag == rule.child || (rule.second_child && *tag == *rule.second_child)) {
                    refuse(std::string(kBlockReferenceRefusal));
                }
            }
            break;
        }
        case xml::EventKind::Text:
            // A piece that cannot be decoded adds nothing, as the document readers do.
            if (capture_) reference_parser_frame::append_decoded_text(buffer_, event.raw);
            break;
        case xml::EventKind::CData:
            if (capture_) buffer_ += text::decode_lossy(event.content);
            break;
        case xml::EventKind::GeneralRef:
        case xml::EventKind::CharRef:
            if (capture_) {
                if (auto refusal = resolve_ref(buffer_, event)) refuse(std::move(*refusal));
            }
            break;
        case xml::EventKind::End:
            if (depth_ > 0) --depth_;
            if (depth_ == 2) {
                if (capture_ && rule_) pending_.emplace_back(*capture_, std::string(text::trim(buffer_)));
                capture_.reset();
            } else if (depth_ == 1 && rule_) {
                finish_section(event.end);
            }
            break;
        case xml::EventKind::Eof:
            if (rule_) {
                refuse(std::string(kBlockReferenceRefusal));
            } else if (depth_ != 0) {
                refuse(std::string(kRootNotClosedRefusal));
            } else {
                result_.emplace();
            }
            break;
        default:
            break;
    }
}

std::expected<ReferenceSections, ProfileFilterError> SectionReader::result() && {
    support::require(result_.has_value(), "SectionReader::result needs a finished reading");
    if (!*result_) return std::unexpected(ProfileFilterError(std::move(result_->error())));
    return std::move(sections_);
}

std::expected<ReferenceSections, ProfileFilterError> reference_sections(std::string_view document) {
    const std::string_view body = xml::strip_leading_boms(document);
    xml::Reader reader(body);
    SectionReader sections;
    while (!sections.finished()) {
        auto event = reader.next();
        if (!event) {
            sections.reader_failed(event.error());
            break;
        }
        sections.take(reader, *event);
    }
    return std::move(sections).result();
}

ProfileReferences references_of(const ReferenceSections& sections) {
    ProfileReferences references;
    for (const ReferenceSection& section : sections) {
        for (const auto& [kind, name] : section.references) references.names[kind].insert(name);
    }
    return references;
}

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
    auto sections = reference_sections(document);
    if (!sections) return std::unexpected(std::move(sections.error()));
    return references_of(*sections);
}

std::expected<ProfileTrim, ProfileFilterError> filter_profile_references(std::string_view document,
                                                                         const ReferencesByKind& remove) {
    auto sections = reference_sections(document);
    if (!sections) return std::unexpected(std::move(sections.error()));
    return filter_profile_references(document, *sections, remove);
}

ProfileTrim filter_profile_references(std::string_view document, const ReferenceSections& sections,
                                      const ReferencesByKind& remove,
                                      std::span<const document_edits::Bounds> removed_first) {
    const std::size_t prefix = xml::leading_bom_length(document);
    ReferenceCuts cuts = profile_reference_cuts(document, sections, remove, removed_first);
    cuts.trim.document =
        document_edits::apply_edits(document.substr(prefix), std::move(cuts.removals), document.substr(0, prefix));
    return std::move(cuts.trim);
}

ReferenceCuts profile_reference_cuts(std::string_view document, const ReferenceSections& sections,
                                     const ReferencesByKind& remove,
                                     std::span<const document_edits::Bounds> removed_first) {
    const std::string_view body = xml::strip_leading_boms(document);

    // Pairs are looked up and counted through tables of views into the sections, not sets of copies.
    std::size_t listed = 0;
    for (const auto& [kind, names] : remove) listed += names.size();
    document_edits::NameSet removing(listed);
    for (const auto& [kind, names] : remove) {
        for (const std::string& name : names) removing.insert(name, static_cast<std::uint8_t>(kind));
    }
    document_edits::NameSet all(sections.size());
    document_edits::NameSet kept(sections.size());
    ProfileTrim trim;
    std::vector<document_edits::Bounds> matched_sections;
    for (const ReferenceSection& section : sections) {
        bool matched = false;
        for (const Pair& pair : section.references) {
            const auto tag = static_cast<std::uint8_t>(pair.first);
            all.insert(pair.second, tag);
            if (removing.contains(pair.second, tag)) {
                trim.removed.insert(pair);
                matched = true;
            }
        }
        if (matched) {
            matched_sections.push_back({section.start, section.end});
        } else {
            for (const Pair& pair : section.references) kept.insert(pair.second, static_cast<std::uint8_t>(pair.first));
        }
    }
    trim.total = all.size();
    trim.kept = kept.size();
    const auto cuts = document_edits::line_aware_cuts(body, matched_sections, removed_first);
    return ReferenceCuts{std::move(trim), document_edits::merged_removals(removed_first, cuts)};
}

}  // namespace ambrel::metadata::profile_reference_filter

#include "metadata/permission_reader/permission_reader.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::permission_reader {
namespace {

using domain::FlsContainerKind;
using domain::PermissionGrant;
using domain::PermissionSubject;
using permission_models::NotTransferred;
using permission_models::PermissionSectionSchema;

constexpr std::string_view kCouldNotRead = "Could not read permission metadata: {}";
constexpr std::string_view kNotUtf8 = "permission metadata is not valid UTF-8: {}";
constexpr std::string_view kExpectedRoot = "Expected {} metadata for {} '{}'";
constexpr std::string_view kDoctype = "doctype is not allowed in {} '{}'";
constexpr std::string_view kCouldNotParse = "could not parse permission metadata: {}";
constexpr std::string_view kExactlyOne = "Expected exactly one '{}' element in {}";
constexpr std::string_view kAtMostOne = "Expected at most one '{}' element";
constexpr std::string_view kInvalidBoolean = "Invalid '{}' Boolean in {} '{}'";
constexpr std::string_view kInvalidFieldKey = "Invalid fieldPermissions field key in {} '{}'";
constexpr std::string_view kInvalidName = "Invalid {} name in {} '{}'";
constexpr std::string_view kDuplicate = "Duplicate {} entry for {} in {} '{}'";

struct Child {
    std::string_view name;
    std::string text;
};

// Interprets the blocks of one document; holds the names used in messages.
class BlockReader {
public:
    BlockReader(const PermissionComponentKey& key, ParsedPermissions& out) : key_(key), out_(out) {}

    std::expected<void, std::string> interpret(const PermissionSectionSchema& row, const std::vector<Child>& children) {
        const std::string_view element = row.element_for(key_.kind());
        auto key_text = required(children, row.key_child, element);
        if (!key_text) return std::unexpected(std::move(key_text.error()));
        switch (row.section) {
        case permission_models::kFieldSection: {
            auto editable = required(children, "editable", element);
            if (!editable) return std::unexpected(std::move(editable.error()));
            auto editable_flag = strict_boolean("editable", **editable);
            if (!editable_flag) return std::unexpected(std::move(editable_flag.error()));
            auto readable = required(children, "readable", element);
            if (!readable) return std::unexpected(std::move(readable.error()));
            auto readable_flag = strict_boolean("readable", **readable);
            if (!readable_flag) return std::unexpected(std::move(readable_flag.error()));
            auto parts = two_api_names(**key_text);
            if (!parts) return std::unexpected(fmt::format(fmt::runtime(kInvalidFieldKey), kind_name(), key_.full_name()));
            PermissionSubject subject{PermissionSubject::Field{std::move(parts->first), std::move(parts->second)}};
            return record(element, std::move(subject),
                          {PermissionGrant::FieldAccess{*readable_flag || *editable_flag, *editable_flag}});
        }
        case permission_models::kObjectSection: {
            if (!is_salesforce_api_name(**key_text)) return std::unexpected(invalid_name(element));
            PermissionGrant::ObjectAccess access;
            for (auto [name, flag] : {std::pair<std::string_view, bool*>{"allowCreate", &access.create},
                                      {"allowRead", &access.read},
                                      {"allowEdit", &access.edit},
                                      {"allowDelete", &access.remove},
                                      {"viewAllRecords", &access.view_all},
                                      {"viewAllFields", &access.view_all_fields},
                                      {"modifyAllRecords", &access.modify_all}}) {
                auto value = optional_flag(children, name);
                if (!value) return std::unexpected(std::move(value.error()));
                *flag = *value;
            }
            return record(element, {PermissionSubject::Object{std::string(**key_text)}}, {access});
        }
        case permission_models::kClassSection:
        case permission_models::kPageSection: {
            if (!is_salesforce_api_name(**key_text)) return std::unexpected(invalid_name(element));
            auto enabled = optional_flag(children, "enabled");
            if (!enabled) return std::unexpected(std::move(enabled.error()));
            PermissionSubject subject = row.section == permission_models::kClassSection
                                            ? PermissionSubject{PermissionSubject::ApexClass{std::string(**key_text)}}
                                            : PermissionSubject{PermissionSubject::ApexPage{std::string(**key_text)}};
            return record(element, std::move(subject), {PermissionGrant::Enabled{*enabled}});
        }
        case permission_models::kTabSection: {
            const std::string_view name = **key_text;
            if (!NamespacePolicy::is_standard_tab_name(name) && !is_salesforce_api_name(name)) {
                return std::unexpected(invalid_name(element));
            }
            PermissionSubject subject{PermissionSubject::Tab{std::string(name)}};
            const std::string* word = nullptr;
            std::size_t count = 0;
            for (const auto& child : children) {
                if (child.name == "visibility") {
                    ++count;
                    word = &child.text;
                }
            }
            if (count > 1) return std::unexpected(fmt::format(fmt::runtime(kAtMostOne), "visibility"));
            domain::TabVisibility level = domain::TabVisibility::NotAvailable;
            if (word != nullptr) {
                const auto known = permission_models::tab_visibility_from_word(key_.kind(), *word);
                if (!known) {
                    if (is_known(subject)) return std::unexpected(duplicate(element, subject));
                    out_.not_transferred.emplace(std::move(subject),
                                                 NotTransferred{NotTransferred::UnrecognizedValue{*word}});
                    return {};
                }
                level = *known;
            }
            return record(element, std::move(subject), {PermissionGrant::TabVisibility{level}});
        }
        default: {
            auto parts = two_api_names(**key_text);
            if (!parts) return std::unexpected(invalid_name(element));
            auto visible = optional_flag(children, "visible");
            if (!visible) return std::unexpected(std::move(visible.error()));
            return record(element, {PermissionSubject::RecordType{std::move(parts->first), std::move(parts->second)}},
                          {PermissionGrant::Visible{*visible}});
        }
        }
    }

private:
    std::string_view kind_name() const noexcept { return domain::name(key_.kind()); }

    std::string invalid_name(std::string_view element) const {
        return fmt::format(fmt::runtime(kInvalidName), element, kind_name(), key_.full_name());
    }

    std::string duplicate(std::string_view element, const PermissionSubject& subject) const {
        return fmt::format(fmt::runtime(kDuplicate), element, subject.api_name(), kind_name(), key_.full_name());
    }

    bool is_known(const PermissionSubject& subject) const {
        return out_.grants.contains(subject) || out_.not_transferred.contains(subject);
    }

    std::expected<void, std::string> record(std::string_view element, PermissionSubject subject, PermissionGrant grant) {
        if (!out_.not_transferred.empty() && out_.not_transferred.contains(subject)) {
            return std::unexpected(duplicate(element, subject));
        }
        // Documents list their blocks in order, so the end is almost always the right place; a
        // subject already present leaves the map as it was.
        const std::size_t before = out_.grants.size();
        const auto position = out_.grants.emplace_hint(out_.grants.end(), std::move(subject), std::move(grant));
        if (out_.grants.size() == before) return std::unexpected(duplicate(element, position->first));
        return {};
    }

    static std::expected<const std::string*, std::string> required(const std::vector<Child>& children,
                                                                  std::string_view name, std::string_view element) {
        const std::string* found = nullptr;
        std::size_t count = 0;
        for (const auto& child : children) {
            if (child.name == name) {
                ++count;
                found = &child.text;
            }
        }
        if (count != 1) return std::unexpected(fmt::format(fmt::runtime(kExactlyOne), name, element));
        return found;
    }

    std::expected<bool, std::string> strict_boolean(std::string_view name, std::string_view value) const {
        const auto trimmed = text::trim(value);
        if (trimmed == "true") return true;
        if (trimmed == "false") return false;
        return std::unexpected(fmt::format(fmt::runtime(kInvalidBoolean), name, kind_name(), key_.full_name()));
    }

    std::expected<bool, std::string> optional_flag(const std::vector<Child>& children, std::string_view name) const {
        const std::string* found = nullptr;
        std::size_t count = 0;
        for (const auto& child : children) {
            if (child.name == name) {
                ++count;
                found = &child.text;
            }
        }
        if (count == 0) return false;
        if (count > 1) return std::unexpected(fmt::format(fmt::runtime(kAtMostOne), name));
        return strict_boolean(name, *found);
    }

    static std::optional<std::pair<std::string, std::string>> two_api_names(std::string_view key) {
        const auto dot = key.find('.');
        if (dot == std::string_view::npos) return std::nullopt;
        const auto first = key.substr(0, dot);
        const auto second = key.substr(dot + 1);
        if (!is_salesforce_api_name(first) || !is_salesforce_api_name(second)) return std::nullopt;
        return std::pair{std::string(first), std::string(second)};
    }

    const PermissionComponentKey& key_;
    ParsedPermissions& out_;
};

}  // namespace

bool is_salesforce_api_name(std::string_view text) {
    // The same language as the pattern, checked by hand: every block carries one or two names, and
    // the check runs for each of them.
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || !letter(text.front()) || text.back() == '_') return false;
    return std::all_of(text.begin(), text.end(), [&](char c) { return letter(c) || digit(c) || c == '_'; });
}

std::expected<ParsedPermissions, std::string> parse_permission_metadata(std::string_view text,
                                                                        const PermissionComponentKey& key) {
    const std::string_view root_name = key.kind() == FlsContainerKind::Profile ? "Profile" : "PermissionSet";
    const std::string_view kind_name = domain::name(key.kind());
    const auto expected_root = [&] {
        return fmt::format(fmt::runtime(kExpectedRoot), root_name, kind_name, key.full_name());
    };

    ParsedPermissions out;
    BlockReader blocks(key, out);
    xml::Reader reader(text);
    std::size_t depth = 0;
    bool root_seen = false;
    const PermissionSectionSchema* section = nullptr;
    std::vector<Child> children;
    std::optional<Child> capture;

    const auto in_namespace = [&](const xml::Event& event) {
        return in_metadata_namespace(reader.resolve_element(event));
    };
    const auto check_root = [&](const xml::Event& event) -> std::expected<void, std::string> {
        if (!in_namespace(event) || event.local_name() != root_name) return std::unexpected(expected_root());
        root_seen = true;
        return {};
    };

    for (;;) {
        auto next = reader.next();
        if (!next) return std::unexpected(fmt::format(fmt::runtime(kCouldNotParse), next.error().message()));
        const xml::Event& event = *next;
        switch (event.kind) {
        case xml::EventKind::Eof:
            // A cut-off document would read as one with fewer blocks, and a merge in ALL mode would
            // then remove every grant the cut lost: it is refused instead.
            if (!root_seen) return std::unexpected(expected_root());
            if (depth > 0) return std::unexpected(fmt::format(fmt::runtime(kCouldNotParse), kCutOffDocument));
            return out;
        case xml::EventKind::DocType:
            return std::unexpected(fmt::format(fmt::runtime(kDoctype), kind_name, key.full_name()));
        case xml::EventKind::Start:
            if (depth == 0) {
                if (auto checked = check_root(event); !checked) return std::unexpected(std::move(checked.error()));
            } else if (depth == 1) {
                section = in_namespace(event) ? permission_models::schema_for_element(event.local_name()) : nullptr;
                children.clear();
            } else if (depth == 2 && section != nullptr && in_namespace(event)) {
                capture = Child{event.local_name(), {}};
            }
            ++depth;
            break;
        case xml::EventKind::Empty:
            if (depth == 0) {
                if (auto checked = check_root(event); !checked) return std::unexpected(std::move(checked.error()));
            } else if (depth == 1) {
                if (in_namespace(event)) {
                    if (const auto* row = permission_models::schema_for_element(event.local_name())) {
                        if (auto done = blocks.interpret(*row, {}); !done) return std::unexpected(std::move(done.error()));
                    }
                }
            } else if (depth == 2 && section != nullptr && in_namespace(event)) {
                children.push_back(Child{event.local_name(), {}});
            }
            break;
        case xml::EventKind::End:
            if (depth > 0) --depth;
            if (depth == 1 && section != nullptr) {
                if (auto done = blocks.interpret(*section, children); !done) {
                    return std::unexpected(std::move(done.error()));
                }
                children.clear();
                section = nullptr;
            } else if (depth == 2 && capture) {
                const auto trimmed = text::trim(capture->text);
                const auto lead = static_cast<std::size_t>(trimmed.data() - capture->text.data());
                capture->text.resize(lead + trimmed.size());
                capture->text.erase(0, lead);
                children.push_back(std::move(*capture));
                capture.reset();
            }
            break;
        case xml::EventKind::Text:
            if (capture) {
                if (auto valid = text::validate_utf8(event.raw); !valid) return std::unexpected(valid.error().message());
                capture->text.append(event.raw);
            }
            break;
        case xml::EventKind::CData:
            if (capture) capture->text.append(event.content);
            break;
        case xml::EventKind::GeneralRef:
        case xml::EventKind::CharRef:
            if (capture) {
                if (auto appended = xml::append_reference(capture->text, event); !appended) {
                    return std::unexpected(appended.error().description);
                }
            }
            break;
        default:
            break;
        }
    }
}

std::expected<PermissionMetadataComponent, std::string> PermissionMetadataReader::read(
    const std::filesystem::path& path, const PermissionComponentKey& key) const {
    auto bytes = platform_fs::files::read_regular_file(path);
    if (!bytes) return std::unexpected(fmt::format(fmt::runtime(kCouldNotRead), bytes.error().message()));
    if (auto valid = text::validate_utf8(*bytes); !valid) {
        return std::unexpected(fmt::format(fmt::runtime(kNotUtf8), valid.error().message()));
    }
    auto parsed = parse_permission_metadata(*bytes, key);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return PermissionMetadataComponent{key, path, std::move(*bytes), std::move(*parsed)};
}

}  // namespace ambrel::metadata::permission_reader

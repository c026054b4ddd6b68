#include "deployment/fls_synchronizer/classification.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "metadata/metadata_namespace.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::deployment::fls_synchronizer {
namespace {

using domain::FlsContainer;
using domain::FlsContainerKind;
using domain::FlsResultStatus;

int compare_text(std::string_view a, std::string_view b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_kind(FlsContainerKind a, FlsContainerKind b) {
    return a == b ? 0 : (static_cast<int>(a) < static_cast<int>(b) ? -1 : 1);
}

// Lower-cased text first, then the text itself.
int compare_name(std::string_view a, std::string_view b) {
    if (a == b) return 0;
    if (const int lower = compare_text(text::to_lower(a), text::to_lower(b)); lower != 0) return lower;
    return compare_text(a, b);
}

bool is_namespaced(const FlsContainer& container) {
    return container.namespace_prefix && !text::is_blank(*container.namespace_prefix);
}

void sort_containers(std::vector<FlsContainer>& containers) {
    std::stable_sort(containers.begin(), containers.end(),
                     [](const auto& a, const auto& b) { return container_order(a, b) < 0; });
}

}  // namespace

bool FlsSyncError::is_cancelled() const noexcept {
    if (std::holds_alternative<Cancelled>(value_)) return true;
    if (const auto* catalog = std::get_if<Catalog>(&value_)) return catalog->error.is_cancelled();
    return false;
}

std::string FlsSyncError::text() const {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Cancelled>) {
                return {};
            } else if constexpr (std::is_same_v<T, Catalog>) {
                return value.error.message();
            } else if constexpr (std::is_same_v<T, Message>) {
                return value.text;
            } else if constexpr (std::is_same_v<T, Retrieve>) {
                return value.failure.message();
            } else {
                return value.error.message();
            }
        },
        value_);
}

std::size_t MatchKeyHash::operator()(const ContainerRef& key) const noexcept {
    return std::hash<std::string>{}(key.second) ^ static_cast<std::size_t>(key.first);
}

int container_key_order(const ContainerRef& a, const ContainerRef& b) {
    if (const int c = compare_name(a.second, b.second); c != 0) return c;
    return compare_kind(a.first, b.first);
}

int container_order(const FlsContainer& a, const FlsContainer& b) {
    if (const int c = compare_name(a.api_name, b.api_name); c != 0) return c;
    if (const int c = compare_kind(a.kind, b.kind); c != 0) return c;
    return compare_text(a.id, b.id);
}

int matched_order(const MatchedContainer& a, const MatchedContainer& b) { return container_order(a.container, b.container); }

int choice_order(const domain::FlsContainerChoice& a, const domain::FlsContainerChoice& b) {
    if (const int c = compare_name(a.api_name, b.api_name); c != 0) return c;
    return compare_kind(a.kind, b.kind);
}

int result_order(const domain::FlsResult& a, const domain::FlsResult& b) {
    if (const int c = compare_name(a.container, b.container); c != 0) return c;
    if (const int c = compare_kind(a.container_kind, b.container_kind); c != 0) return c;
    if (a.subject < b.subject) return -1;
    if (b.subject < a.subject) return 1;
    return 0;
}

void sort_results(std::vector<domain::FlsResult>& results) {
    std::map<std::string, std::string> lowered;
    for (const auto& row : results) {
        if (!lowered.contains(row.container)) lowered.emplace(row.container, text::to_lower(row.container));
    }
    std::stable_sort(results.begin(), results.end(), [&](const auto& a, const auto& b) {
        if (a.container != b.container) {
            const auto& la = lowered.at(a.container);
            const auto& lb = lowered.at(b.container);
            if (la != lb) return la < lb;
            return a.container < b.container;
        }
        if (a.container_kind != b.container_kind) return a.container_kind < b.container_kind;
        return a.subject < b.subject;
    });
}

std::expected<void, FlsSyncError> validate_containers(const std::vector<FlsContainer>& containers) {
    for (const auto& container : containers) {
        // Repository documents become containers too, so a blank name is input, not a caller fault.
        if (text::is_blank(container.id)) return std::unexpected(FlsSyncError::message(std::string(kBlankContainerId)));
        if (text::is_blank(container.api_name)) {
            return std::unexpected(FlsSyncError::message(std::string(kBlankContainerApiName)));
        }
    }
    std::set<std::string> ids;
    for (const auto& container : containers) {
        if (!ids.insert(container.id).second) return std::unexpected(FlsSyncError::message(std::string(kDuplicateContainerId)));
    }
    return {};
}

std::unordered_map<ContainerRef, std::vector<FlsContainer>, MatchKeyHash> group_by_match_key(
    const std::vector<FlsContainer>& containers) {
    std::unordered_map<ContainerRef, std::vector<FlsContainer>, MatchKeyHash> groups;
    for (const auto& container : containers) groups[{container.kind, container.api_name}].push_back(container);
    return groups;
}

ClassifiedContainers classify_containers(const std::vector<FlsContainer>& source, const std::vector<FlsContainer>& target) {
    const auto source_groups = group_by_match_key(source);
    const auto target_groups = group_by_match_key(target);
    std::vector<ContainerRef> keys;
    for (const auto& [key, group] : source_groups) keys.push_back(key);
    for (const auto& [key, group] : target_groups) keys.push_back(key);
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return container_key_order(a, b) < 0; });
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    ClassifiedContainers out;
    const auto ineligible = [&](FlsContainer container, std::string_view reason, FlsResultStatus status) {
        out.ineligible.push_back({std::move(container), std::string(reason), status});
    };
    for (const auto& key : keys) {
        std::vector<FlsContainer> s;
        std::vector<FlsContainer> t;
        if (const auto found = source_groups.find(key); found != source_groups.end()) s = found->second;
        if (const auto found = target_groups.find(key); found != target_groups.end()) t = found->second;
        sort_containers(s);
        sort_containers(t);

        std::map<std::string, FlsContainer> namespaced;
        const auto take_namespaced = [&](std::vector<FlsContainer>& side) {
            std::vector<FlsContainer> kept;
            for (auto& container : side) {
                if (is_namespaced(container)) {
                    namespaced.insert_or_assign(std::string(text::trim(*container.namespace_prefix)), container);
                } else {
                    kept.push_back(std::move(container));
                }
            }
            side = std::move(kept);
        };
        take_namespaced(t);
        take_namespaced(s);
        for (auto& [prefix, container] : namespaced) ineligible(std::move(container), kNamespacedReason, FlsResultStatus::Skipped);

        if (s.size() >= 2) {
            for (auto& container : s) ineligible(std::move(container), kAmbiguousSourceReason, FlsResultStatus::Failed);
        } else if (t.size() >= 2) {
            for (auto& container : t) ineligible(std::move(container), kAmbiguousTargetReason, FlsResultStatus::Failed);
        } else if (s.empty() && t.empty()) {
            continue;
        } else if ((!s.empty() && !s.front().retrievable) || (!t.empty() && !t.front().retrievable)) {
            if (!s.empty()) {
                FlsContainer shown = s.front();
                if (!t.empty()) shown.label = t.front().label;
                ineligible(std::move(shown), kNotRetrievableReason, FlsResultStatus::Skipped);
            } else {
                ineligible(t.front(), kNotRetrievableReason, FlsResultStatus::Skipped);
            }
        } else if (s.empty()) {
            ineligible(t.front(), kNoSourceReason, FlsResultStatus::Skipped);
        } else if (t.empty()) {
            if (s.front().kind == FlsContainerKind::PermissionSet) {
                out.created.push_back(s.front());
            } else {
                ineligible(s.front(), kNoTargetProfileReason, FlsResultStatus::Skipped);
            }
        } else {
            FlsContainer container = s.front();
            container.label = t.front().label;
            auto source_key = PermissionComponentKey::create(container.kind, container.api_name);
            auto target_key = PermissionComponentKey::create(t.front().kind, t.front().api_name);
            support::require(source_key == target_key, kMatchedKeysDiffer);
            out.matched.push_back({std::move(container), std::move(source_key), std::move(target_key)});
        }
    }
    return out;
}

std::expected<LicenseMap, FlsSyncError> created_container_licenses(
    const std::vector<FlsContainer>& created, const std::map<PermissionComponentKey, std::string>* preset_documents,
    const ContainerLicenseChannel* channel, const domain::CancellationToken& token) {
    LicenseMap licenses;
    std::vector<ContainerRef> unresolved;
    for (const auto& container : created) {
        if (container.license_name) {
            const auto trimmed = text::trim(*container.license_name);
            if (!trimmed.empty()) licenses.insert_or_assign({container.kind, container.api_name}, std::string(trimmed));
        } else {
            unresolved.emplace_back(container.kind, container.api_name);
        }
    }
    if (unresolved.empty()) return licenses;
    if (preset_documents != nullptr) {
        for (const auto& [kind, name] : unresolved) {
            const auto key = PermissionComponentKey::create(kind, name);
            const auto found = preset_documents->find(key);
            if (found == preset_documents->end()) continue;
            if (auto license = source_document_license(found->second)) licenses.insert_or_assign({kind, name}, std::move(*license));
        }
    } else if (channel != nullptr) {
        auto answer = channel->source_licenses(unresolved, token);
        if (!answer) {
            if (answer.error().cancelled) return std::unexpected(FlsSyncError::cancelled());
            return std::unexpected(FlsSyncError::message(answer.error().text));
        }
        for (auto& [pair, license] : *answer) licenses.insert_or_assign(pair, std::move(license));
    }
    return licenses;
}

std::optional<std::string> extract_top_level_text(std::string_view document, std::string_view element) {
    xml::Reader reader(document);
    std::size_t depth = 0;
    bool capturing = false;
    std::size_t capture_depth = 0;
    std::string collected;
    for (;;) {
        auto next = reader.next();
        if (!next) return std::nullopt;
        const xml::Event& event = *next;
        switch (event.kind) {
        case xml::EventKind::Eof:
        case xml::EventKind::DocType:
            return std::nullopt;
        case xml::EventKind::Start:
        case xml::EventKind::Empty: {
            const auto ns = reader.resolve_element(event);
            if (ns.state == xml::NamespaceState::Unknown) return std::nullopt;
            const auto colon = event.name.rfind(':');
            const auto local = colon == std::string_view::npos ? event.name : event.name.substr(colon + 1);
            if (!capturing && depth == 1 && metadata::in_metadata_namespace(ns) && local == element) {
                if (event.kind == xml::EventKind::Empty) return std::string();
                capturing = true;
                capture_depth = depth;
            }
            if (event.kind == xml::EventKind::Start) ++depth;
            break;
        }
        case xml::EventKind::End:
            if (depth > 0) --depth;
            if (capturing && depth == capture_depth) return std::string(text::trim(collected));
            break;
        case xml::EventKind::Text:
            if (capturing && text::is_valid_utf8(event.raw)) collected.append(event.raw);
            break;
        case xml::EventKind::GeneralRef:
        case xml::EventKind::CharRef:
            if (capturing) {
                std::string piece;
                if (xml::append_reference(piece, event)) collected.append(piece);
            }
            break;
        default:
            break;
        }
    }
}

std::optional<std::string> source_document_license(std::string_view document) {
    auto found = extract_top_level_text(document, kLicenseElement);
    if (!found) return std::nullopt;
    std::string license(text::first_chars(text::trim(*found), kMaxLicenseChars));
    if (license.empty()) return std::nullopt;
    return license;
}

std::expected<void, FlsSyncError> load_target_licenses(TargetLicenses& licenses, const ContainerLicenseChannel* channel,
                                                       const domain::CancellationToken& token) {
    if (!std::holds_alternative<TargetLicenses::NotLoaded>(licenses.state) || channel == nullptr) return {};
    auto answer = channel->target_licenses(token);
    if (answer) {
        licenses.state = TargetLicenses::Known{std::move(*answer)};
    } else if (answer.error().cancelled) {
        return std::unexpected(FlsSyncError::cancelled());
    } else {
        licenses.state = TargetLicenses::Unavailable{answer.error().text};
    }
    return {};
}

std::expected<std::optional<std::string>, FlsSyncError> license_verdict(TargetLicenses& licenses,
                                                                        const ContainerLicenseChannel* channel,
                                                                        std::string_view license,
                                                                        const domain::CancellationToken& token) {
    if (auto loaded = load_target_licenses(licenses, channel, token); !loaded) return std::unexpected(loaded.error());
    if (const auto* known = std::get_if<TargetLicenses::Known>(&licenses.state)) {
        if (known->names.contains(std::string(license))) return std::nullopt;
        return fmt::format(fmt::runtime(kMissingLicense), license);
    }
    if (const auto* unavailable = std::get_if<TargetLicenses::Unavailable>(&licenses.state)) {
        return fmt::format(fmt::runtime(kLicensesUnavailable), unavailable->text);
    }
    return std::nullopt;
}

std::expected<std::vector<domain::FlsContainerChoice>, FlsSyncError> match_fls_container_choices_from(
    std::vector<FlsContainer> source, std::vector<FlsContainer> target, const ContainerLicenseChannel* channel,
    const domain::CancellationToken& token) {
    if (token.is_cancelled()) return std::unexpected(FlsSyncError::cancelled());
    if (auto valid = validate_containers(source); !valid) return std::unexpected(valid.error());
    if (auto valid = validate_containers(target); !valid) return std::unexpected(valid.error());
    const ClassifiedContainers classified = classify_containers(source, target);
    auto licenses = created_container_licenses(classified.created, nullptr, channel, token);
    if (!licenses) return std::unexpected(licenses.error());
    TargetLicenses target_licenses;
    if (channel != nullptr && !licenses->empty()) {
        if (auto loaded = load_target_licenses(target_licenses, channel, token); !loaded) {
            return std::unexpected(loaded.error());
        }
    }

    std::vector<domain::FlsContainerChoice> choices;
    for (const auto& matched : classified.matched) {
        domain::FlsContainerChoice choice;
        choice.kind = matched.container.kind;
        choice.api_name = matched.container.api_name;
        choice.label = matched.container.label;
        choice.presence = domain::FlsContainerPresence::Existing;
        choice.selectable = true;
        choices.push_back(std::move(choice));
    }
    for (const auto& created : classified.created) {
        domain::FlsContainerChoice choice;
        choice.kind = created.kind;
        choice.api_name = created.api_name;
        choice.label = created.label;
        choice.presence = domain::FlsContainerPresence::New;
        choice.selectable = true;
        if (const auto found = licenses->find({created.kind, created.api_name}); found != licenses->end()) {
            auto verdict = license_verdict(target_licenses, nullptr, found->second, token);
            if (!verdict) return std::unexpected(verdict.error());
            if (*verdict) {
                choice.selectable = false;
                choice.block_reason = std::move(**verdict);
            }
        }
        choices.push_back(std::move(choice));
    }
    for (const auto& entry : classified.ineligible) {
        if (entry.container.kind != FlsContainerKind::Profile || entry.reason != kNoTargetProfileReason) continue;
        domain::FlsContainerChoice choice;
        choice.kind = FlsContainerKind::Profile;
        choice.api_name = entry.container.api_name;
        choice.label = entry.container.label;
        choice.presence = domain::FlsContainerPresence::New;
        choice.selectable = false;
        choice.block_reason = std::string(kProfilesNotCreated);
        choices.push_back(std::move(choice));
    }
    std::stable_sort(choices.begin(), choices.end(), [](const auto& a, const auto& b) { return choice_order(a, b) < 0; });
    return choices;
}

}  // namespace ambrel::deployment::fls_synchronizer

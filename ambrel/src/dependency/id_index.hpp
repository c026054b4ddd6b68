#pragma once

// The translation between Salesforce ids and component keys for one discovery, the translation
// between object ids and object API names that custom field records need, the dependency records
// kept from MetadataComponentDependency, and the quoting of SOQL literal lists. All ids are cut to
// their first 15 characters (characters, never inside a UTF-8 sequence). A later registration of
// the same id, key or name replaces the earlier one.
//
// Failures: quoted_list refuses a value holding a quote or a backslash with a ProgrammingError
// ("SOQL literal must not contain a quote: {}", "SOQL literal must not contain a backslash: {}");
// values are Salesforce ids and API names, which never hold either.
//
// Thread-safety: plain values; no internal synchronisation.

#include <compare>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "domain/component_key.hpp"
#include "json/json.hpp"

namespace ambrel::dependency {

// Salesforce ids are compared by their case-sensitive 15-character form.
inline constexpr std::size_t kShortIdLength = 15;

// The id trimmed and cut to its first 15 characters.
std::string short_id(std::string_view id);

class IdIndex {
public:
    void register_key(const domain::ComponentKey& key, std::string_view id);
    // Both name maps, then the object's component key unless its name is packaged or has no custom
    // suffix.
    void register_object(std::string_view object_id, std::string_view object_name);
    // The object's id when known, else its name.
    std::string table_token(std::string_view object_name) const;

    const std::map<std::string, domain::ComponentKey, std::less<>>& key_by_id() const noexcept { return key_by_id_; }
    const std::map<domain::ComponentKey, std::string>& id_by_key() const noexcept { return id_by_key_; }
    const std::map<std::string, std::string, std::less<>>& object_name_by_id() const noexcept {
        return object_name_by_id_;
    }
    const std::map<std::string, std::string, std::less<>>& object_id_by_name() const noexcept {
        return object_id_by_name_;
    }

private:
    std::map<std::string, domain::ComponentKey, std::less<>> key_by_id_;
    std::map<domain::ComponentKey, std::string> id_by_key_;
    std::map<std::string, std::string, std::less<>> object_name_by_id_;
    std::map<std::string, std::string, std::less<>> object_id_by_name_;
};

// Registers the CustomField records (Id, DeveloperName, TableEnumOrId, NamespacePrefix) in order;
// packaged fields, records without the texts and fields of an unknown "01I" object are skipped.
void register_fields(IdIndex& index, std::span<const json::Value> records);

// A "01I" custom object id of 15 or 18 characters.
bool is_custom_object_id(std::string_view table_enum_or_id);

// One kept MetadataComponentDependency record. Ordered by its fields in declared order, an absent
// namespace first.
struct DependencyRow {
    std::string metadata_component_id;
    std::string ref_metadata_component_id;
    std::string ref_metadata_component_type;
    std::string ref_metadata_component_name;
    std::optional<std::string> ref_metadata_component_namespace;

    friend auto operator<=>(const DependencyRow&, const DependencyRow&) = default;
    friend bool operator==(const DependencyRow&, const DependencyRow&) = default;
};

// "'a', 'b'": each value quoted, joined with ", ".
std::string quoted_list(std::span<const std::string> values);

// The trimmed text of a member that is a JSON text not blank after trimming.
std::optional<std::string> required_text(const json::Object& object, std::string_view key);

}  // namespace ambrel::dependency

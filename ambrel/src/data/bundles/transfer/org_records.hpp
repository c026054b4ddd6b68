#pragma once

// What the transfer knows of the two orgs: the describes with the key field per object
// (`TransferSchemas`), the target's catalogue records (`TargetCatalogs`), the records read from one
// org (`ExistingRecord`, `SideRecords`), and the pure field functions that build the SELECT lists of
// those reads and spot references whose record the target does not have. Plain owned values; the
// functions never fail; any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/transfer/record_key.hpp"
#include "data/preparation/key_decision.hpp"
#include "data/schema.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::transfer {

// The key field for transfer of one object, with `stamp` set for the own external-id field.
using KeyField = preparation::TransferKeyField;

struct TransferSchemas {
    // Object API name → describe.
    std::map<std::string, schema::ObjectSchema, std::less<>> target;
    std::map<std::string, schema::ObjectSchema, std::less<>> source;
    std::map<std::string, KeyField, std::less<>> keys;

    // The target's describe of the field, or null when the object or the field is not there.
    const schema::FieldSchema* target_field(std::string_view object, std::string_view field) const;
};

struct TargetCatalogs {
    std::optional<std::string> standard_price_book;
    // Name → Id.
    std::map<std::string, std::string, std::less<>> relationship_types;
    std::map<std::string, std::string, std::less<>> selling_models;
    std::map<std::string, std::string, std::less<>> price_books;

    // The catalogue record's target Id; absent when the target has no such record.
    std::optional<std::string> resolve(const CatalogRef& ref) const;
};

// One record read from an org.
struct ExistingRecord {
    std::string id;
    // Reference fields that are set but whose record the query could not return.
    std::vector<std::string> dangling;
    std::optional<std::string> key_value;
    // Plain field → text.
    std::map<std::string, std::string, std::less<>> values;
    // Reference field → Id text.
    std::map<std::string, std::string, std::less<>> links;

    friend bool operator==(const ExistingRecord&, const ExistingRecord&) = default;
};

using SideRecords = std::map<RecordKey, std::vector<ExistingRecord>>;

enum class Side { Source, Target };

// The names, in input order, that the side's describe of the object has; none without a describe.
std::vector<std::string> known_fields(const std::vector<std::string>& names, const TransferSchemas& schemas, Side side,
                                      std::string_view object);

// (field, relationship name) for each given field that the target describes as a reference with a
// relationship name that is not blank.
std::vector<std::pair<std::string, std::string>> target_reference_paths(const std::vector<std::string>& names,
                                                                        const schema::ObjectSchema& target);

// The fields whose value is set (not blank) while the related record's member is JSON null.
std::vector<std::string> dangling_references(const json::Object& record,
                                             const std::vector<std::pair<std::string, std::string>>& pairs);

// Appends, pair by pair, the field and "{relationship}.Id", each unless exactly that text is there.
void push_reference_columns(std::vector<std::string>& columns,
                            const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace ambrel::data::bundles::transfer

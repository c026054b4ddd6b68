#pragma once

// An object's describe result as the record-data code uses it.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace ambrel::data::schema {

// One field of a describe result. Each flag is true only when the describe member is the JSON value
// true.
struct FieldSchema {
    std::string name{};
    // Empty when the describe gives none.
    std::string label{};
    // The describe's field type, such as "reference".
    std::string type{};
    bool createable = false;
    bool updateable = false;
    bool nillable = false;
    bool calculated = false;
    bool unique = false;
    bool external_id = false;
    bool custom = false;
    bool auto_number = false;
    bool defaulted_on_create = false;
    // The objects a reference field can point to.
    std::vector<std::string> reference_to{};
    std::optional<std::string> relationship_name{};
    // 0 when the describe gives no integer that fits 64 bits.
    std::int64_t length = 0;

    friend bool operator==(const FieldSchema&, const FieldSchema&) = default;
};

struct ObjectSchema {
    std::string name{};
    // By field API name in byte order; a name described twice keeps the later field.
    std::map<std::string, FieldSchema, std::less<>> fields{};

    // Reads the describe result object (the "result" member of the CLI's answer). Fails with
    // "field is missing a string '{}'", "'fields' is missing or is not an array" or
    // "'fields' is empty"; never returns a partial schema.
    static std::expected<ObjectSchema, std::string> parse(const json::Value& value);

    // The fields whose `external_id` is set, in field-name order. The pointers refer into `fields`.
    std::vector<const FieldSchema*> external_id_fields() const;

    friend bool operator==(const ObjectSchema&, const ObjectSchema&) = default;
};

// The member's string, or "field is missing a string '{key}'" when the value is not an object or
// the member is absent or not a string.
std::expected<std::string, std::string> text(const json::Value& value, std::string_view key);

}  // namespace ambrel::data::schema

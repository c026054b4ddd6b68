#pragma once

// Which fields an org has on a set of objects, and which of them are external-ID keys, from
// FieldDefinition queries. Every answer must be complete: a batch whose answer reaches the row limit
// is split in halves and asked again, and a listing is whole or one error.

#include <chrono>
#include <expected>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli {

class SfCliGateway;

// The objects and (object, field) pairs an org lists; names as the org spelled them.
struct SchemaListing {
    std::set<std::string> objects;
    std::set<std::pair<std::string, std::string>> fields;

    // The object is listed (ASCII letter case ignored).
    bool knows_object(std::string_view object_name) const;
    // The pair is listed (each name compared with ASCII letter case ignored).
    bool knows_field(std::string_view object_name, std::string_view field_name) const;

    friend bool operator==(const SchemaListing&, const SchemaListing&) = default;
};

struct ExternalKeyListing {
    // Every object for which the org listed at least one field.
    std::set<std::string> objects;
    // Object name → its external-key field names.
    std::map<std::string, std::set<std::string>> external_keys;

    bool knows_object(std::string_view object_name) const;
    // The keys of the first object whose name matches ignoring ASCII letter case; empty when none.
    const std::set<std::string>& external_ids_of(std::string_view object_name) const;
    // The object is found as above and the field is among its keys exactly (letter case counts).
    bool has_external_id(std::string_view object_name, std::string_view field_name) const;

    friend bool operator==(const ExternalKeyListing&, const ExternalKeyListing&) = default;
};

class SchemaCatalogError {
public:
    struct FailedListing {
        std::string message;
        friend bool operator==(const FailedListing&, const FailedListing&) = default;
    };
    struct InvalidResponse {
        std::string message;
        friend bool operator==(const InvalidResponse&, const InvalidResponse&) = default;
    };
    struct IncompleteResponse {
        std::string message;
        friend bool operator==(const IncompleteResponse&, const IncompleteResponse&) = default;
    };
    struct Cancelled {
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };
    using Variant = std::variant<FailedListing, InvalidResponse, IncompleteResponse, Cancelled>;

    SchemaCatalogError(FailedListing value) : variant_(std::move(value)) {}
    SchemaCatalogError(InvalidResponse value) : variant_(std::move(value)) {}
    SchemaCatalogError(IncompleteResponse value) : variant_(std::move(value)) {}
    SchemaCatalogError(Cancelled value) : variant_(value) {}

    bool is_cancelled() const noexcept { return std::holds_alternative<Cancelled>(variant_); }
    const Variant& variant() const noexcept { return variant_; }
    // The message of the three message kinds; "Salesforce field workflow was cancelled" for a
    // cancellation.
    std::string message() const;

    friend bool operator==(const SchemaCatalogError&, const SchemaCatalogError&) = default;

private:
    Variant variant_;
};

// Built per call; borrows the gateway. Both listings refuse a user name that is blank or holds a
// control character before anything runs. A failed query shows the CLI's error as "{name}:
// {message}" when its answer is a JSON error, else its standard error or output, made safe.
class SfSchemaCatalog {
public:
    SfSchemaCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // The fields of the objects, one query per 10 objects. Names that are not safe API names are
    // left out; none left: an empty listing and no query.
    std::expected<SchemaListing, SchemaCatalogError> object_fields(std::string_view username,
                                                                   const std::set<std::string>& object_names,
                                                                   const domain::CancellationToken& token) const;
    // The external-key fields of the objects, one query for all of them (split while answers reach
    // the row limit).
    std::expected<ExternalKeyListing, SchemaCatalogError> external_key_fields(
        std::string_view username, const std::set<std::string>& object_names,
        const domain::CancellationToken& token) const;

private:
    struct Attempt;
    template <class Listing, class AddRecord>
    std::expected<Listing, SchemaCatalogError> list(std::string_view username, const std::set<std::string>& names,
                                                    bool field_listing, const domain::CancellationToken& token,
                                                    AddRecord add_record) const;
    std::expected<json::Value, SchemaCatalogError> execute_query(std::string_view username, const std::string& soql,
                                                                 const domain::CancellationToken& token) const;

    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

namespace schema_catalog {

inline constexpr std::size_t kRowLimit = 2000;
inline constexpr std::size_t kFieldBatchSize = 10;
inline constexpr std::size_t kMaxDetailChars = 2000;
inline constexpr std::string_view kOwnKeyField = "QuillaryExternalId__c";

// Not empty, an ASCII letter first, then ASCII letters, digits or '_'.
bool is_safe_object_name(std::string_view text) noexcept;

// Each name as "'{}'", joined with ", ".
std::string quoted_list(const std::vector<std::string>& names);

// The member "QualifiedApiName" when it is non-blank text, trimmed; else the invalid-response kind
// with the message.
std::expected<std::string, SchemaCatalogError> required_text(const json::Value& value, std::string_view message);

// The records of a complete query answer (a single object counts as one record), or why the answer
// cannot be trusted: no result object, no or invalid records, no valid "done" or "totalSize",
// malformed warnings, or an answer that is not complete.
std::expected<std::vector<const json::Object*>, SchemaCatalogError> complete_records(const json::Value& answer);

// A detail from the CLI fit for a message: secrets redacted (also "key=value" inside JSON texts),
// white space flattened, cut to 2,000 characters.
std::string safe_text(std::string_view text);

}  // namespace schema_catalog

}  // namespace ambrel::cli

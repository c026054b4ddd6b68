#pragma once

// The tags of one constraint model in the target org after a deploy: each tag of the model's document
// names its record by natural names (an `Addressee`); the step finds those records in the target with
// name queries, reads the tags the target ExpressionSet already carries and creates the missing
// ExpressionSetConstraintObj records in composite create requests. It never updates or deletes a tag,
// and what it created stays created whatever happens later.
//
// Requests, in this order, each counted on the model's `Channel` right before it is sent and each
// preceded by a poll of the token: per kind (product, classification, group, component) one name query
// per chunk of at most kMaxRecordsPerRequest distinct look-up names in byte order; one query of the
// existing tags; one composite create per chunk of at most kMaxRecordsPerRequest planned records. A
// model without tags sends nothing.
//
// Failures: cancellation (a poll or a request) ends the step with `kCancelledDuringTags`; the partial
// summary is dropped. A failed name or existing-tags query makes every tag with an addressee "not
// sent"; a failed create makes the tags of its chunk and of every later chunk "not sent"; the failure
// text becomes a note of the `Channel` in both cases. Refused records cost only their own tag
// ("{status}: {message}" of the first error, or "the target refused the record without naming a
// reason"). Rows with missing, blank or wrongly typed members are ignored. A composite answer with
// another number of outcomes than records sent breaks the channel's contract: ProgrammingError.
//
// Thread-safety: stateless functions over the caller's values; one thread per call.

#include <compare>
#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "data/bundles/document/model_document.hpp"
#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/record_channels.hpp"

namespace ambrel::data::bundles::model_transfer {

inline constexpr std::string_view kCancelledDuringTags =
    "The transfer was cancelled during the tags; CML and activation were not attempted.";

// The text of a transfer cancelled during the tags.
std::string cancelled_during_tags();

// The state that the steps of one model's transfer share.
struct Channel {
    // Every request handed to the channels, counted right before it is sent.
    std::size_t rest_calls = 0;
    // The failure texts of requests that ended a step early; any note fails the model.
    std::vector<std::string> notes;
};

// The child of a related component: a product by name or a classification by code.
struct ComponentChild {
    identity::ComponentChildKind kind = identity::ComponentChildKind::Product;
    std::string name;

    friend bool operator==(const ComponentChild&, const ComponentChild&) = default;
    friend std::strong_ordering operator<=>(const ComponentChild&, const ComponentChild&) = default;
};

// The record a tag is attached to, named by natural names. Kinds order product, classification,
// group, component; texts compare byte-wise; an absent group orders before any present one.
class Addressee {
public:
    struct Product {
        std::string name;
        friend auto operator<=>(const Product&, const Product&) = default;
    };
    struct Classification {
        std::string code;
        friend auto operator<=>(const Classification&, const Classification&) = default;
    };
    struct Group {
        std::string product;
        std::string group;
        friend auto operator<=>(const Group&, const Group&) = default;
    };
    struct Component {
        std::string product;
        std::optional<std::string> group;
        ComponentChild child;
        friend auto operator<=>(const Component&, const Component&) = default;
    };
    using Variant = std::variant<Product, Classification, Group, Component>;

    explicit Addressee(Variant value) : value_(std::move(value)) {}

    const Variant& value() const noexcept { return value_; }
    // "product", "classification", "group" or "component".
    std::string_view kind_word() const noexcept;
    // The name the target is queried by: the product name (also of a group's or a component's
    // bundle product) or the classification code.
    const std::string& look_up_name() const noexcept;
    // "name", "code", "product / group", "product / group / child" or "product / child".
    std::string identity() const;

    friend bool operator==(const Addressee&, const Addressee&) = default;
    friend std::strong_ordering operator<=>(const Addressee&, const Addressee&) = default;

private:
    Variant value_;
};

// The addressee a tag's attributes name, by the first attribute of each key; none when the tag is
// unresolved or names no record it can be built from.
std::optional<Addressee> addressee_of(const document::ModelTag& tag);

// A tag label with the reason it was not created.
using NamedReasons = std::vector<std::pair<std::string, std::string>>;

struct TagsSummary {
    // Tags whose addressee has no record in the target.
    NamedReasons without_addressee;
    // Tags not created for any other reason.
    NamedReasons skipped;
    std::size_t created = 0;
    std::size_t already_present = 0;

    friend bool operator==(const TagsSummary&, const TagsSummary&) = default;
};

// Cancelled, or the Ids of the target records that match each requested addressee (rows that match
// no requested addressee are ignored). A failure text is returned as is; the caller notes it.
synthesis::ChannelResult<std::map<Addressee, std::vector<std::string>>> resolve_addressees(
    synthesis::RecordChannels& channels, std::string_view org, const std::set<Addressee>& requested,
    Channel& channel, const domain::CancellationToken& token);

// The summary, or `kCancelledDuringTags` as the error.
std::expected<TagsSummary, std::string> transfer_tags(synthesis::RecordChannels& channels, std::string_view org,
                                                      std::string_view expression_set_id,
                                                      const std::vector<document::ModelTag>& tags, Channel& channel,
                                                      const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::model_transfer

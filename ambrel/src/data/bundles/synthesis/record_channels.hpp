#pragma once

// The port through which every piece of record-data work reaches an org (`RecordChannels`), the types
// of its results, and the reader of a composite answer (`parse_composite_outcomes`).
//
// Every operation takes the org alias first and the token of the operation in progress last, blocks
// until its one request is finished, and fails with a `ChannelError`: an absent message means the
// request was cancelled, a present one is a sentence for the user (possibly empty). Operations never
// split, reorder or retry a request and never poll the token beyond their own request run; callers
// send at most kMaxRecordsPerRequest records or ids per call and check their token between calls.
// Refusals of single records are outcomes with `success` false, not failures.
//
// `parse_composite_outcomes` fails, without partial outcomes, with one of the lower-case reasons
// "the response body is not an array of per-record outcomes", "the response carries {} outcomes for
// {} records" or "a per-record outcome is not an object"; implementations embed them in a sentence.
//
// Thread-safety: the interface holds no state; one implementation object serves one call at a time.
// The parser is a pure function; any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/schema.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::synthesis {

// The most records (or ids) that one composite or delete request carries.
inline constexpr std::size_t kMaxRecordsPerRequest = 200;

inline constexpr std::string_view kNotAnArrayReason = "the response body is not an array of per-record outcomes";
inline constexpr std::string_view kOutcomeNotObjectReason = "a per-record outcome is not an object";
// Filled with the number of outcomes received, then the number of records sent.
inline constexpr std::string_view kOutcomeCountReasonFormat = "the response carries {} outcomes for {} records";

// The error of every channel operation: absent when the request was cancelled, else the message.
struct ChannelError {
    std::optional<std::string> message;

    static ChannelError cancelled() { return ChannelError{}; }
    static ChannelError failure(std::string text) { return ChannelError{std::move(text)}; }
    bool is_cancelled() const noexcept { return !message.has_value(); }

    friend bool operator==(const ChannelError&, const ChannelError&) = default;
};

template <typename T>
using ChannelResult = std::expected<T, ChannelError>;

// How a composite request treats its records.
enum class CompositeMethod {
    Create,  // new records, sent as POST
    Update,  // existing records named by their id, sent as PATCH
};

// One refusal reason of an outcome. Members that are not of the expected JSON kind read as empty.
struct CompositeError {
    std::string status_code;
    std::string message;
    // The string elements of "fields", in order; other elements are skipped.
    std::vector<std::string> fields;

    friend bool operator==(const CompositeError&, const CompositeError&) = default;
};

// The result for one record (or id) of a composite create, update or delete.
struct CompositeOutcome {
    std::vector<CompositeError> errors;
    // The answer's "id" when it is a JSON string, exactly as received.
    std::optional<std::string> id;
    // True only when "success" is the JSON value true.
    bool success = false;

    friend bool operator==(const CompositeOutcome&, const CompositeOutcome&) = default;
};

class RecordChannels {
public:
    virtual ~RecordChannels() = default;

    // All records of the query result, in the org's order; a listing that is not complete fails.
    virtual ChannelResult<std::vector<json::Object>> query(std::string_view org, std::string_view soql,
                                                           const domain::CancellationToken& token) = 0;
    // Absent when the org has no such object.
    virtual ChannelResult<std::optional<schema::ObjectSchema>> describe(
        std::string_view org, std::string_view object, const domain::CancellationToken& token) = 0;
    // The constraint model text of a definition version; absent when the org answers with an object.
    virtual ChannelResult<std::optional<std::string>> read_cml(std::string_view org, std::string_view version_id,
                                                               const domain::CancellationToken& token) = 0;
    // Exactly one outcome per record sent, outcome i for record i.
    virtual ChannelResult<std::vector<CompositeOutcome>> composite(std::string_view org, CompositeMethod method,
                                                                   const std::vector<json::Object>& records,
                                                                   const domain::CancellationToken& token) = 0;
    virtual ChannelResult<void> write_cml(std::string_view org, std::string_view version_id,
                                          std::string_view constraint_model,
                                          const domain::CancellationToken& token) = 0;
    // The delete of 1 to 200 record ids; exactly one outcome per id, in id order. Named `remove`
    // because the operation's own name is a keyword.
    virtual ChannelResult<std::vector<CompositeOutcome>> remove(std::string_view org,
                                                                const std::vector<std::string>& ids,
                                                                const domain::CancellationToken& token) = 0;
    virtual ChannelResult<void> set_version_active(std::string_view org, std::string_view version_id,
                                                   bool active, const domain::CancellationToken& token) = 0;

protected:
    RecordChannels() = default;
    RecordChannels(const RecordChannels&) = default;
    RecordChannels& operator=(const RecordChannels&) = default;
};

// The per-record outcomes of a composite answer for `expected` records or ids sent.
std::expected<std::vector<CompositeOutcome>, std::string> parse_composite_outcomes(const json::Value& body,
                                                                                   std::size_t expected);

}  // namespace ambrel::data::bundles::synthesis

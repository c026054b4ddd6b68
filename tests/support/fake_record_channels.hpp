#pragma once

// A scripted `RecordChannels` for the record-data tests: describes per org and object, query answers
// keyed by the exact SOQL text (a query without an answer fails the test and the call), composite and
// delete outcomes scripted per call, and failures or cancellations at chosen calls. Every request is
// logged in order, composite bodies as compact JSON, so tests compare what was sent byte for byte.
// Not thread-safe: one test drives it from one thread.

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/bundles/synthesis/record_channels.hpp"

namespace ambrel::testing {

class FakeRecordChannels final : public data::bundles::synthesis::RecordChannels {
public:
    using ChannelError = data::bundles::synthesis::ChannelError;
    using CompositeOutcome = data::bundles::synthesis::CompositeOutcome;
    using CompositeMethod = data::bundles::synthesis::CompositeMethod;
    template <typename T>
    using Result = data::bundles::synthesis::ChannelResult<T>;

    // One logged request.
    struct Call {
        // "query", "describe", "read_cml", "composite", "write_cml", "delete", "set_version_active".
        std::string operation;
        std::string org;
        // The SOQL, the object, the version id, or for composites "POST"/"PATCH".
        std::string detail;
        // Composite bodies as compact JSON, or the ids of a delete.
        std::vector<std::string> items;

        friend bool operator==(const Call&, const Call&) = default;
    };

    // A describe built from field names: each field updateable and createable, of type "string".
    void add_describe(const std::string& org, data::schema::ObjectSchema schema);
    // Answers the exact SOQL text on the org; answered again on every repeat.
    void answer_query(const std::string& org, const std::string& soql, std::vector<json::Object> records);
    // Answers the exact SOQL text with records given as one JSON array text.
    void answer_query_json(const std::string& org, const std::string& soql, std::string_view array_json);
    // The next composite (or delete) call takes the next scripted answer; without one every record
    // succeeds, a create getting the id "NEW" and its running number.
    void script_composite(Result<std::vector<CompositeOutcome>> answer);
    void script_delete(Result<std::vector<CompositeOutcome>> answer);
    // The call with this 0-based position among all calls fails with the error instead.
    void fail_call(std::size_t position, ChannelError error);
    // Runs before each call with its position; lets a test cancel its token mid-run.
    void on_call(std::function<void(std::size_t)> hook) { hook_ = std::move(hook); }

    const std::vector<Call>& calls() const noexcept { return calls_; }
    std::vector<Call> calls_of(const std::string& operation) const;

    Result<std::vector<json::Object>> query(std::string_view org, std::string_view soql,
                                            const domain::CancellationToken& token) override;
    Result<std::optional<data::schema::ObjectSchema>> describe(std::string_view org, std::string_view object,
                                                               const domain::CancellationToken& token) override;
    Result<std::optional<std::string>> read_cml(std::string_view org, std::string_view version_id,
                                                const domain::CancellationToken& token) override;
    Result<std::vector<CompositeOutcome>> composite(std::string_view org, CompositeMethod method,
                                                    const std::vector<json::Object>& records,
                                                    const domain::CancellationToken& token) override;
    Result<void> write_cml(std::string_view org, std::string_view version_id, std::string_view constraint_model,
                           const domain::CancellationToken& token) override;
    Result<std::vector<CompositeOutcome>> remove(std::string_view org, const std::vector<std::string>& ids,
                                                 const domain::CancellationToken& token) override;
    Result<void> set_version_active(std::string_view org, std::string_view version_id, bool active,
                                    const domain::CancellationToken& token) override;

    std::size_t created_count() const noexcept { return created_; }

    // The constraint model text (or, absent, a JSON-object answer) that read_cml returns for the
    // version id on the org; answered again on every repeat. Without one the answer is absent.
    void answer_cml(const std::string& org, const std::string& version_id, std::optional<std::string> text);
    // Answers the exact SOQL text with the records of a JSON array file below tests/fixtures/.
    void answer_query_file(const std::string& org, const std::string& soql, const std::string& fixture);
    // Runs after each composite call that is answered (not failed), with its position among all calls;
    // lets a test cancel its token while a request is in flight yet answered.
    void after_composite(std::function<void(std::size_t)> hook) { after_composite_ = std::move(hook); }

private:
    // Logs the call; the scripted error for its position, if any.
    std::optional<ChannelError> begin(Call call, const domain::CancellationToken& token);

    std::map<std::pair<std::string, std::string>, data::schema::ObjectSchema> describes_;
    std::map<std::pair<std::string, std::string>, std::vector<json::Object>> answers_;
    std::deque<Result<std::vector<CompositeOutcome>>> composite_script_;
    std::deque<Result<std::vector<CompositeOutcome>>> delete_script_;
    std::map<std::size_t, ChannelError> failures_;
    std::function<void(std::size_t)> hook_;
    std::vector<Call> calls_;
    std::size_t created_ = 0;
    std::map<std::pair<std::string, std::string>, std::optional<std::string>> cml_answers_;
    std::function<void(std::size_t)> after_composite_;
};

// A token that answers "not cancelled" to its first `allowed` polls and "cancelled" from then on;
// counts every poll.
class CountdownToken final : public domain::CancellationToken {
public:
    explicit CountdownToken(std::size_t allowed) : allowed_(allowed) {}
    bool is_cancelled() const override { return ++polls_ > allowed_; }
    std::size_t polls() const noexcept { return polls_; }

private:
    std::size_t allowed_;
    mutable std::size_t polls_ = 0;
};

// A describe with the given fields, each updateable, createable and of type "string" unless listed
// in `references` (field → relationship name), which become "reference" fields.
data::schema::ObjectSchema make_schema(const std::string& object, const std::vector<std::string>& fields,
                                       const std::map<std::string, std::string>& references = {},
                                       const std::vector<std::string>& read_only = {});

// Parses one JSON object text; fails the test on bad input.
json::Object json_object(std::string_view text);

}  // namespace ambrel::testing

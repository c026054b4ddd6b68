#include "support/fake_record_channels.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "support/test_paths.hpp"

namespace ambrel::testing {

using data::bundles::synthesis::CompositeMethod;

void FakeRecordChannels::add_describe(const std::string& org, data::schema::ObjectSchema schema) {
    auto key = std::make_pair(org, schema.name);
    describes_[std::move(key)] = std::move(schema);
}

void FakeRecordChannels::answer_query(const std::string& org, const std::string& soql,
                                      std::vector<json::Object> records) {
    answers_[{org, soql}] = std::move(records);
}

void FakeRecordChannels::answer_query_json(const std::string& org, const std::string& soql,
                                           std::string_view array_json) {
    auto parsed = json::parse(array_json);
    if (!parsed || !parsed->is_array()) {
        ADD_FAILURE() << "not a JSON array: " << array_json;
        return;
    }
    std::vector<json::Object> records;
    for (const auto& element : parsed->get_array()) {
        records.push_back(element.as_object());
    }
    answer_query(org, soql, std::move(records));
}

void FakeRecordChannels::script_composite(Result<std::vector<CompositeOutcome>> answer) {
    composite_script_.push_back(std::move(answer));
}

void FakeRecordChannels::script_delete(Result<std::vector<CompositeOutcome>> answer) {
    delete_script_.push_back(std::move(answer));
}

void FakeRecordChannels::fail_call(std::size_t position, ChannelError error) {
    failures_[position] = std::move(error);
}

std::vector<FakeRecordChannels::Call> FakeRecordChannels::calls_of(const std::string& operation) const {
    std::vector<Call> result;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(result),
                 [&](const Call& call) { return call.operation == operation; });
    return result;
}

std::optional<FakeRecordChannels::ChannelError> FakeRecordChannels::begin(Call call,
                                                                          const domain::CancellationToken& token) {
    const auto position = calls_.size();
    if (hook_) {
        hook_(position);
    }
    calls_.push_back(std::move(call));
    if (const auto found = failures_.find(position); found != failures_.end()) {
        return found->second;
    }
    if (token.is_cancelled()) {
        return ChannelError::cancelled();
    }
    return std::nullopt;
}

FakeRecordChannels::Result<std::vector<json::Object>> FakeRecordChannels::query(
    std::string_view org, std::string_view soql, const domain::CancellationToken& token) {
    if (auto error = begin({"query", std::string(org), std::string(soql), {}}, token)) {
        return std::unexpected(*error);
    }
    const auto found = answers_.find({std::string(org), std::string(soql)});
    if (found == answers_.end()) {
        ADD_FAILURE() << "unexpected query on " << org << ": " << soql;
        return std::unexpected(ChannelError::failure("unexpected query"));
    }
    return found->second;
}

FakeRecordChannels::Result<std::optional<data::schema::ObjectSchema>> FakeRecordChannels::describe(
    std::string_view org, std::string_view object, const domain::CancellationToken& token) {
    if (auto error = begin({"describe", std::string(org), std::string(object), {}}, token)) {
        return std::unexpected(*error);
    }
    const auto found = describes_.find({std::string(org), std::string(object)});
    if (found == describes_.end()) {
        return std::optional<data::schema::ObjectSchema>{};
    }
    return std::optional<data::schema::ObjectSchema>{found->second};
}

FakeRecordChannels::Result<std::optional<std::string>> FakeRecordChannels::read_cml(
    std::string_view org, std::string_view version_id, const domain::CancellationToken& token) {
    if (auto error = begin({"read_cml", std::string(org), std::string(version_id), {}}, token)) {
        return std::unexpected(*error);
    }
    if (const auto found = cml_answers_.find({std::string(org), std::string(version_id)});
        found != cml_answers_.end()) {
        return found->second;
    }
    return std::optional<std::string>{};
}

FakeRecordChannels::Result<std::vector<FakeRecordChannels::CompositeOutcome>> FakeRecordChannels::composite(
    std::string_view org, CompositeMethod method, const std::vector<json::Object>& records,
    const domain::CancellationToken& token) {
    Call call{"composite", std::string(org), method == CompositeMethod::Create ? "POST" : "PATCH", {}};
    for (const auto& record : records) {
        call.items.push_back(json::write_compact(record));
    }
    if (auto error = begin(std::move(call), token)) {
        return std::unexpected(*error);
    }
    const auto position = calls_.size() - 1;
    if (!composite_script_.empty()) {
        auto answer = std::move(composite_script_.front());
        composite_script_.pop_front();
        if (answer && after_composite_) {
            after_composite_(position);
        }
        return answer;
    }
    std::vector<CompositeOutcome> outcomes;
    for (const auto& record : records) {
        CompositeOutcome outcome;
        outcome.success = true;
        if (method == CompositeMethod::Create) {
            outcome.id = "NEW" + std::to_string(++created_);
        } else if (const auto* id = record.if_contains("id"); id != nullptr && id->is_string()) {
            outcome.id = std::string(id->get_string());
        }
        outcomes.push_back(std::move(outcome));
    }
    if (after_composite_) {
        after_composite_(position);
    }
    return outcomes;
}

FakeRecordChannels::Result<void> FakeRecordChannels::write_cml(std::string_view org, std::string_view version_id,
                                                               std::string_view constraint_model,
                                                               const domain::CancellationToken& token) {
    if (auto error = begin({"write_cml", std::string(org), std::string(version_id), {std::string(constraint_model)}},
                           token)) {
        return std::unexpected(*error);
    }
    return {};
}

FakeRecordChannels::Result<std::vector<FakeRecordChannels::CompositeOutcome>> FakeRecordChannels::remove(
    std::string_view org, const std::vector<std::string>& ids, const domain::CancellationToken& token) {
    if (auto error = begin({"delete", std::string(org), {}, ids}, token)) {
        return std::unexpected(*error);
    }
    if (!delete_script_.empty()) {
        auto answer = std::move(delete_script_.front());
        delete_script_.pop_front();
        return answer;
    }
    std::vector<CompositeOutcome> outcomes;
    for (const auto& id : ids) {
        outcomes.push_back(CompositeOutcome{{}, id, true});
    }
    return outcomes;
}

FakeRecordChannels::Result<void> FakeRecordChannels::set_version_active(std::string_view org,
                                                                        std::string_view version_id, bool active,
                                                                        const domain::CancellationToken& token) {
    if (auto error = begin({"set_version_active", std::string(org), std::string(version_id),
                            {active ? "true" : "false"}},
                           token)) {
        return std::unexpected(*error);
    }
    return {};
}

void FakeRecordChannels::answer_cml(const std::string& org, const std::string& version_id,
                                    std::optional<std::string> text) {
    cml_answers_[{org, version_id}] = std::move(text);
}

void FakeRecordChannels::answer_query_file(const std::string& org, const std::string& soql,
                                           const std::string& fixture) {
    const std::string text = read_file(tests_dir() / "fixtures" / fixture);
    EXPECT_FALSE(text.empty()) << fixture;
    answer_query_json(org, soql, text);
}

data::schema::ObjectSchema make_schema(const std::string& object, const std::vector<std::string>& fields,
                                       const std::map<std::string, std::string>& references,
                                       const std::vector<std::string>& read_only) {
    data::schema::ObjectSchema schema;
    schema.name = object;
    const auto add = [&](const std::string& name) {
        data::schema::FieldSchema field;
        field.name = name;
        field.type = "string";
        field.createable = true;
        field.updateable = std::find(read_only.begin(), read_only.end(), name) == read_only.end();
        if (const auto found = references.find(name); found != references.end()) {
            field.type = "reference";
            field.relationship_name = found->second;
        }
        schema.fields[name] = field;
    };
    add("Id");
    for (const auto& name : fields) {
        add(name);
    }
    for (const auto& [name, relationship] : references) {
        add(name);
    }
    return schema;
}

json::Object json_object(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) {
        ADD_FAILURE() << "not a JSON object: " << text;
        return {};
    }
    return parsed->as_object();
}

}  // namespace ambrel::testing

#include "metadata/readers/decision_table_reader.hpp"

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "metadata/namespace_policy.hpp"

namespace ambrel::metadata::decision_table_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "DecisionTable";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::string_view kParameters = "decisionTableParameters";
constexpr std::array<std::string_view, 2> kSourceObjectPath = {kRoot, "sourceObject"};
constexpr std::array<std::string_view, 3> kDomainObjectPath = {kRoot, kParameters, "domainObject"};
constexpr std::array<std::string_view, 3> kFieldNamePath = {kRoot, kParameters, "fieldName"};
constexpr std::array<std::string_view, 3> kSourceFieldNamePath = {kRoot, "decisionTableSourceCriterias",
                                                                  "sourceFieldName"};
constexpr std::string_view kCustomSuffix = "__c";
constexpr std::size_t kShortestCustomName = 3;

enum Capture : CaptureKind { kNone, kSourceObject, kDomainObject, kFieldName, kSourceFieldName };

bool is_unpackaged_custom_name(std::string_view name) {
    return name.size() >= kShortestCustomName && name.ends_with(kCustomSuffix) &&
           !PACKAGED_FIELD_PATTERN.matches(name);
}

// A decisionTableParameters element directly under the root groups the values below it.
bool is_parameter_group(OpenElements open_above, const OpenElement& element) noexcept {
    return open_above.size() == 1 && element.in_metadata_namespace && element.local_name == kParameters;
}

struct ParameterField {
    std::optional<std::string> domain_object;
    std::string field_name;
};

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        if (is_parameter_group(open, element)) {
            clear_pending();
            return kNone;
        }
        if (counts_at(open, element, kSourceObjectPath)) return kSourceObject;
        if (counts_at(open, element, kDomainObjectPath)) return kDomainObject;
        if (counts_at(open, element, kFieldNamePath)) return kFieldName;
        if (counts_at(open, element, kSourceFieldNamePath)) return kSourceFieldName;
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        switch (kind) {
            case kSourceObject: source_object_ = std::string(value); break;
            case kDomainObject: pending_domain_object_ = std::string(value); break;
            case kFieldName: pending_field_name_ = std::string(value); break;
            case kSourceFieldName: source_field_names_.emplace_back(value); break;
            default: break;
        }
    }

    void on_end(OpenElements open, const OpenElement& element) override {
        if (!is_parameter_group(open, element)) return;
        if (pending_domain_object_) domain_objects_.insert(*pending_domain_object_);
        if (pending_field_name_) {
            parameter_fields_.push_back({std::move(pending_domain_object_), std::move(*pending_field_name_)});
        }
        clear_pending();
    }

    // Built once the whole document is read, since the source object may follow the parameters.
    DecisionTableReferences result() && {
        DecisionTableReferences references;
        if (source_object_ && is_unpackaged_custom_name(*source_object_)) references.objects.insert(*source_object_);
        for (const std::string& domain_object : domain_objects_) {
            if (is_unpackaged_custom_name(domain_object)) references.objects.insert(domain_object);
        }
        for (ParameterField& parameter : parameter_fields_) {
            if (parameter.domain_object) {
                insert_field(references.fields, std::move(*parameter.domain_object), std::move(parameter.field_name));
            } else if (source_object_) {
                insert_field(references.fields, *source_object_, std::move(parameter.field_name));
            }
        }
        if (source_object_) {
            for (std::string& field_name : source_field_names_) {
                insert_field(references.fields, *source_object_, std::move(field_name));
            }
        }
        return references;
    }

private:
    void clear_pending() {
        pending_domain_object_.reset();
        pending_field_name_.reset();
    }

    std::optional<std::string> source_object_;
    std::optional<std::string> pending_domain_object_;
    std::optional<std::string> pending_field_name_;
    std::set<std::string> domain_objects_;
    std::vector<ParameterField> parameter_fields_;
    std::vector<std::string> source_field_names_;
};

}  // namespace

void insert_field(std::set<std::string>& fields, std::string object, std::string field) {
    if (field.find('.') != std::string::npos || !is_unpackaged_custom_name(field)) return;
    std::string joined = std::move(object);
    joined.push_back('.');
    joined.append(field);
    fields.insert(std::move(joined));
}

std::expected<DecisionTableReferences, FieldReadError> parse_decision_table_references(
    std::string_view full_name, std::string_view text) {
    Rules rules;
    const reference_parser_frame::Settings settings{kRoots};
    if (auto parsed = reference_parser_frame::parse(full_name, text, settings, rules); !parsed) {
        return std::unexpected(std::move(parsed.error()));
    }
    return std::move(rules).result();
}

}  // namespace ambrel::metadata::decision_table_reader

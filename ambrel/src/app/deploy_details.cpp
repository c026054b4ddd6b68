#include "app/deploy_details.hpp"

#include <utility>

#include "app/application_service.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

std::string_view type_label(metadata_types::MetadataType type) {
    // Record-data types have no descriptor; their object name stands in for the label.
    if (type.is_data_record()) return type.wire_id();
    return type.descriptor().singular_label;
}

std::string_view fls_status_word(domain::FlsResultStatus status) { return domain::wire_id(status); }

}  // namespace

void append_row_note(std::string& message, std::string_view note) {
    if (text::trim(message).empty()) {
        message.assign(note);
        return;
    }
    message.resize(text::trim_end(message).size());
    message.push_back(' ');
    message.append(note);
}

void build_details(const std::function<std::string(const std::string&)>& sanitizer,
                   deployment::DeploymentSummary& summary) {
    deployment::DetailNotes notes = std::exchange(summary.detail_notes, deployment::DetailNotes{});
    std::string text;
    bool first = true;
    auto line = [&](std::string_view piece) {
        if (!first) text.push_back('\n');
        first = false;
        text.append(piece);
    };
    for (const auto& result : summary.component_results) {
        std::string row;
        row.append(type_label(result.key.metadata_type));
        row.push_back(' ');
        row.append(result.key.name);
        row.append(" [");
        row.append(domain::wire_id(result.status));
        row.append("]: ");
        row.append(result.message);
        line(row);
    }
    for (const auto& result : summary.fls_results) {
        std::string row = "Permission ";
        row.append(domain::wire_id(result.container_kind));
        row.push_back(' ');
        row.append(result.container);
        row.push_back(' ');
        row.append(result.subject.api_name());
        row.append(" [");
        row.append(fls_status_word(result.status));
        row.append("]: ");
        row.append(result.message);
        line(row);
    }
    for (const auto& note : notes.leading_notes) {
        std::string joined = note;
        if (!text.empty()) joined.push_back('\n');
        joined.append(text);
        text = std::move(joined);
    }
    for (const auto& note : notes.trailing_notes) {
        if (!text.empty()) text.push_back('\n');
        text.append(note);
    }
    summary.details = std::string(text::first_chars(sanitizer(text), kDiagnosticCharacterLimit));
}

}  // namespace ambrel::app

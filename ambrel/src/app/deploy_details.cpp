#include "app/deploy_details.hpp"

#include <string>
#include <utility>

#include <fmt/format.h>

#include "app/application_service.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

// A record-data type has no descriptor and so no singular label; its API name stands in.
std::string_view type_label(metadata_types::MetadataType type) {
    if (type.is_data_record()) return type.wire_id();
    return type.descriptor().singular_label;
}

}  // namespace

void build_details(const ports::CorePorts& core, deployment::DeploymentSummary& summary) {
    deployment::DetailNotes notes = std::exchange(summary.detail_notes, {});
    std::string text;
    const auto add_line = [&text](const std::string& line) {
        if (!text.empty()) text += '\n';
        text += line;
    };
    for (const domain::ComponentDeploymentResult& result : summary.component_results) {
        add_line(fmt::format("{} {} [{}]: {}", type_label(result.key.metadata_type), result.key.name,
                             domain::wire_id(result.status), result.message));
    }
    for (const domain::FlsResult& result : summary.fls_results) {
        add_line(fmt::format("Permission {} {} {} [{}]: {}", domain::wire_id(result.container_kind), result.container,
                             result.subject.api_name(), domain::wire_id(result.status), result.message));
    }
    for (const std::string& note : notes.leading_notes) {
        text = text.empty() ? note : note + '\n' + text;
    }
    for (const std::string& note : notes.trailing_notes) {
        if (!text.empty()) text += '\n';
        text += note;
    }
    summary.details = std::string(text::first_chars(core.diagnostic_sanitizer(text), kDiagnosticCharacterLimit));
}

}  // namespace ambrel::app

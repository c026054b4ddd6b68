#include "metadata/flow_reader.hpp"

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/object_reader.hpp"
#include "metadata/source_folder.hpp"

namespace ambrel::metadata {

namespace {

constexpr std::string_view kFlowFolder = "flows";
constexpr std::string_view kFlowEnding = ".flow-meta.xml";
constexpr std::string_view kFlowRoot = "Flow";

}  // namespace

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> FlowMetadataReader::read(
    const std::filesystem::path& source_root) {
    static const source_folder::ListingMessages kMessages{"Could not list flow directory",
                                                          "Could not read flow directory entry"};
    auto flows = source_folder::collect(source_root / kFlowFolder, kMessages, source_folder::EntryKind::RegularFile,
                                        [](std::string_view name) -> std::optional<std::string> {
                                            auto stem = source_folder::stem_before(name, kFlowEnding);
                                            if (!stem || NamespacePolicy::is_packaged_code_component(*stem)) {
                                                return std::nullopt;
                                            }
                                            return stem;
                                        });
    if (!flows) return std::unexpected(std::move(flows.error()));

    const metadata_types::MetadataType type = metadata_types::MetadataType::Flow;
    const std::vector<std::string_view> wanted = object_reader::wanted_elements(type);
    std::vector<domain::MetadataComponent> components;
    components.reserve(flows->size());
    for (source_folder::Candidate& flow : *flows) {
        auto text = source_folder::read_text(flow.path, "Could not read flow metadata");
        if (!text) return std::unexpected(std::move(text.error()));
        auto texts =
            object_reader::parse_child_texts_in_namespace(*text, flow.path, kFlowRoot, kMetadataNamespaceUri, wanted);
        if (!texts) return std::unexpected(std::move(texts.error()));
        domain::MetadataComponent component;
        component.key = {type, std::move(flow.name)};
        component.attributes = object_reader::attribute_values(type, *texts);
        component.source_path = flow.path;
        component.document = std::move(*text);
        components.push_back(std::move(component));
    }
    return components;
}

}  // namespace ambrel::metadata

#include "metadata/component_reading.hpp"

#include "metadata/apex_reader.hpp"
#include "metadata/bundle_reader.hpp"
#include "metadata/container_child_reader.hpp"
#include "metadata/custom_field_reader.hpp"
#include "metadata/flow_reader.hpp"
#include "metadata/generic_reader.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/object_child_reader.hpp"
#include "metadata/object_reader.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata {

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read_generic_components(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    const metadata_types::ContentFormat& format = type.descriptor().content_format;
    if (std::holds_alternative<metadata_types::ContentFormat::ContainerDocument>(format.value)) {
        return ContainerChildMetadataReader::read(type, source_root);
    }
    if (const metadata_types::PathTemplate* path_template = format.decomposed_template();
        path_template != nullptr && std::holds_alternative<metadata_types::PathTemplate::ObjectChild>(path_template->value)) {
        return ObjectChildMetadataReader::read(type, source_root);
    }
    return GenericMetadataReader::read(type, source_root);
}

std::expected<std::vector<domain::MetadataComponent>, ComponentReadingFailure> read_components(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    using Kind = metadata_types::MetadataType::Kind;
    // A document's error names the kind of document it is, whichever reader met it.
    const auto failure = [type](FieldReadError error) {
        return std::unexpected(ComponentReadingFailure{std::move(error).of_kind(document_kind(type)).message()});
    };
    const auto finish = [&failure](auto result) -> std::expected<std::vector<domain::MetadataComponent>, ComponentReadingFailure> {
        if (!result) return failure(std::move(result.error()));
        return std::move(*result);
    };
    switch (type.kind()) {
        case Kind::DataRecord:
            return std::unexpected(ComponentReadingFailure{std::string(kRecordDataNotMetadataMessage)});
        case Kind::CustomField: {
            auto definitions = CustomFieldMetadataReader::read(source_root);
            if (!definitions) return failure(std::move(definitions.error()));
            std::vector<domain::MetadataComponent> components;
            components.reserve(definitions->size());
            for (const domain::CustomFieldDefinition& definition : *definitions) {
                components.push_back(definition.to_component());
            }
            return components;
        }
        case Kind::CustomObject:
        case Kind::CustomMetadataType:
        case Kind::PlatformEvent:
            return finish(CustomObjectMetadataReader::read(type, source_root));
        case Kind::ApexClass:
        case Kind::ApexTrigger:
        case Kind::ApexPage:
            return finish(ApexBodyReader::read(type, source_root));
        case Kind::LightningComponentBundle:
        case Kind::AuraDefinitionBundle:
            return finish(BundleReader::read(type, source_root));
        case Kind::Layout:
            return finish(LayoutMetadataReader::read(source_root));
        case Kind::Flow:
            return finish(FlowMetadataReader::read(source_root));
        case Kind::ProductBundle:
        case Kind::ConstraintModel:
        case Kind::Generic:
            return finish(read_generic_components(type, source_root));
    }
    support::fail_precondition("read_components: a metadata type of an unknown kind");
}

}  // namespace ambrel::metadata

#include "metadata/custom_field_reader.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include <fmt/format.h>

#include "metadata/metadata_namespace.hpp"
#include "metadata/object_reader.hpp"
#include "metadata/source_folder.hpp"

namespace ambrel::metadata::field_reader {

namespace {

// How path-form errors about field documents name them.
constexpr std::string_view kFieldKind = "custom field";

}  // namespace

std::expected<void, FieldReadError> push_reference(std::string& buffer, const xml::Event& reference,
                                                   const std::filesystem::path& path) {
    auto appended = xml::append_reference(buffer, reference);
    if (!appended) return std::unexpected(FieldReadError::invalid(path, appended.error().description));
    return {};
}

std::expected<void, FieldReadError> validate_root(const xml::Namespace& ns, std::string_view local_name,
                                                  const std::filesystem::path& path) {
    auto valid = object_reader::validate_root(ns, local_name, "CustomField", kMetadataNamespaceUri, path);
    if (!valid) return std::unexpected(std::move(valid.error()).of_kind(std::string(kFieldKind)));
    return {};
}

std::optional<std::string> wanted_local_name(const xml::Namespace& ns, std::string_view local_name,
                                             std::span<const std::string_view> wanted) {
    return object_reader::wanted_local_name(ns, local_name, kMetadataNamespaceUri, wanted);
}

std::expected<ChildTexts, FieldReadError> parse_child_texts(std::string_view text,
                                                            const std::filesystem::path& path,
                                                            std::span<const std::string_view> wanted) {
    auto texts = object_reader::parse_child_texts_in_namespace(text, path, "CustomField", kMetadataNamespaceUri, wanted);
    if (!texts) return std::unexpected(std::move(texts.error()).of_kind(std::string(kFieldKind)));
    return texts;
}

TrackingToggles read_tracking_toggles(std::string_view text, const std::filesystem::path& path) {
    const auto texts = parse_child_texts(text, path, kTrackingElements);
    if (!texts) return {};
    const auto is_true = [&](std::string_view name) {
        const auto it = texts->find(std::string(name));
        return it != texts->end() && it->second == "true";
    };
    return {is_true("trackHistory"), is_true("trackFeedHistory")};
}

namespace {

const source_folder::ListingMessages& listing_messages() {
    static const source_folder::ListingMessages messages{"Could not list metadata directory",
                                                         "Could not read metadata directory entry"};
    return messages;
}

}  // namespace

std::expected<std::vector<std::filesystem::path>, FieldReadError> list_entries(const std::filesystem::path& folder) {
    return source_folder::list_entries(folder, listing_messages());
}

std::expected<std::optional<std::int32_t>, FieldReadError> parse_optional_i32(const ChildTexts& texts,
                                                                              std::string_view element,
                                                                              const std::filesystem::path& path) {
    const auto it = texts.find(std::string(element));
    if (it == texts.end()) return std::nullopt;
    const std::string_view value = it->second;
    const auto fail = [&](std::string_view reason) {
        return std::unexpected(FieldReadError::invalid(path, fmt::format("invalid {}: {}", element, reason)));
    };
    if (value.empty()) return fail("cannot parse integer from empty string");
    std::size_t digits_at = 0;
    const bool negative = value[0] == '-';
    if (value[0] == '+' || value[0] == '-') digits_at = 1;
    const std::string_view digits = value.substr(digits_at);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return fail("invalid digit found in string");
    }
    // Accumulated with the sign so that the most negative value fits.
    std::int64_t number = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    for (const char c : digits) {
        const int digit = c - '0';
        number = number * 10 + (negative ? -digit : digit);
        if (number > kMax) return fail("number too large to fit in target type");
        if (number < kMin) return fail("number too small to fit in target type");
    }
    return static_cast<std::int32_t>(number);
}

namespace {

std::expected<domain::CustomFieldDefinition, FieldReadError> read_field(std::string_view object_name,
                                                                        std::string field_name,
                                                                        const std::filesystem::path& path) {
    auto text = source_folder::read_text(path, "Could not read custom field metadata");
    if (!text) return std::unexpected(std::move(text.error()));
    auto texts = parse_child_texts(*text, path, kReadElements);
    if (!texts) return std::unexpected(std::move(texts.error()));
    const auto text_of = [&](std::string_view element) -> std::optional<std::string> {
        const auto it = texts->find(std::string(element));
        if (it == texts->end()) return std::nullopt;
        return it->second;
    };
    domain::CustomFieldDefinition definition;
    definition.key = {std::string(object_name), std::move(field_name)};
    definition.attributes.field_type = text_of("type");
    definition.attributes.formula = text_of("formula");
    definition.attributes.default_value = text_of("defaultValue");
    definition.attributes.reference_to = text_of("referenceTo");
    definition.attributes.label = text_of("label");
    for (const auto& [element, slot] : {std::pair{std::string_view("length"), &definition.attributes.length},
                                        std::pair{std::string_view("precision"), &definition.attributes.precision},
                                        std::pair{std::string_view("scale"), &definition.attributes.scale}}) {
        auto number = parse_optional_i32(*texts, element, path);
        if (!number) return std::unexpected(std::move(number.error()));
        *slot = *number;
    }
    if (const std::optional<std::string> required = text_of("required")) {
        if (*required == "true") {
            definition.required = true;
        } else if (*required != "false") {
            return std::unexpected(FieldReadError::invalid(path, fmt::format("invalid required flag: {}", *required)));
        }
    }
    definition.source_path = path;
    definition.document = std::move(*text);
    return definition;
}

}  // namespace

}  // namespace ambrel::metadata::field_reader

namespace ambrel::metadata {

std::expected<std::vector<domain::CustomFieldDefinition>, FieldReadError> CustomFieldMetadataReader::read(
    const std::filesystem::path& source_root) {
    auto folders = source_folder::collect(source_root / "objects", field_reader::listing_messages(),
                                          source_folder::EntryKind::Directory,
                                          [](std::string_view name) { return std::optional<std::string>(name); });
    if (!folders) return std::unexpected(std::move(folders.error()));
    std::vector<domain::CustomFieldDefinition> definitions;
    for (const source_folder::Candidate& folder : *folders) {
        auto found = read_object_directory(folder.path, folder.name);
        if (!found) return std::unexpected(std::move(found.error()));
        std::move(found->begin(), found->end(), std::back_inserter(definitions));
    }
    return definitions;
}

std::expected<std::vector<domain::CustomFieldDefinition>, FieldReadError>
CustomFieldMetadataReader::read_object_directory(const std::filesystem::path& object_folder,
                                                 std::string_view object_name) {
    // The ending alone names a field whose API name is empty, so a name as long as the ending counts.
    auto files = source_folder::collect(
        object_folder / "fields", field_reader::listing_messages(), source_folder::EntryKind::RegularFile,
        [](std::string_view name) -> std::optional<std::string> {
            if (!name.ends_with(field_reader::kFieldEnding)) return std::nullopt;
            return std::string(name.substr(0, name.size() - field_reader::kFieldEnding.size()));
        });
    if (!files) return std::unexpected(std::move(files.error()));
    std::vector<domain::CustomFieldDefinition> definitions;
    for (source_folder::Candidate& file : *files) {
        auto definition = field_reader::read_field(object_name, std::move(file.name), file.path);
        if (!definition) return std::unexpected(std::move(definition.error()));
        definitions.push_back(std::move(*definition));
    }
    return definitions;
}

}  // namespace ambrel::metadata

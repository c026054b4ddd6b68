#include "endpoint_memory/endpoint_memory.hpp"

#include <system_error>

#include "json/json.hpp"
#include "platform_fs/data_directory.hpp"
#include "platform_fs/files.hpp"
#include "platform_fs/unix.hpp"
#include "text/text.hpp"

namespace ambrel::endpoint_memory {

namespace {

// A document this large is no memory of ours; it is not read at all.
constexpr std::size_t kMaxDocumentBytes = 1024 * 1024;

constexpr std::string_view kVersionKey = "v";
constexpr std::string_view kSourceKey = "source";
constexpr std::string_view kTargetKey = "target";
constexpr std::string_view kKindKey = "kind";
constexpr std::string_view kAliasKey = "alias";

bool is_version_one(const json::Value& value) {
    if (value.is_int64()) return value.get_int64() == static_cast<std::int64_t>(kMemoryVersion);
    if (value.is_uint64()) return value.get_uint64() == kMemoryVersion;
    return false;
}

std::optional<std::string> side_of(const json::Object& document, std::string_view key) {
    const json::Value* side = json::find(document, key);
    if (side == nullptr) return std::nullopt;
    const json::Object* endpoint = json::as_object(*side);
    if (endpoint == nullptr) return std::nullopt;
    if (json::get_string(*endpoint, kKindKey) != kOrgKind) return std::nullopt;
    const std::optional<std::string_view> alias = json::get_string(*endpoint, kAliasKey);
    if (!alias) return std::nullopt;
    const std::string_view trimmed = text::trim(*alias);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

json::Value side_value(const std::optional<std::string>& alias) {
    if (!alias) return nullptr;
    json::Object endpoint;
    endpoint[kKindKey] = kOrgKind;
    endpoint[kAliasKey] = *alias;
    return endpoint;
}

}  // namespace

std::string render_memory_document(const RememberedEndpoints& remembered) {
    json::Object document;
    document[kVersionKey] = kMemoryVersion;
    document[kSourceKey] = side_value(remembered.source);
    document[kTargetKey] = side_value(remembered.target);
    std::string text = json::write_compact(document);
    text.push_back('\n');
    return text;
}

std::optional<RememberedEndpoints> parse_memory_document(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed) return std::nullopt;
    const json::Object* document = json::as_object(*parsed);
    if (document == nullptr) return std::nullopt;
    const json::Value* version = json::find(*document, kVersionKey);
    if (version == nullptr || !is_version_one(*version)) return std::nullopt;
    return RememberedEndpoints{side_of(*document, kSourceKey), side_of(*document, kTargetKey)};
}

FileEndpointMemory FileEndpointMemory::discover() {
    return FileEndpointMemory(
        platform_fs::data_directory_for(platform_fs::current_platform_rule(), platform_fs::process_environment));
}

namespace {

// The document at that path, or none when it is missing or cannot be read.
std::optional<RememberedEndpoints> read_document(const std::filesystem::path& file) {
    auto bytes = platform_fs::files::read_regular_file(file, kMaxDocumentBytes);
    if (!bytes || !text::is_valid_utf8(*bytes)) return std::nullopt;
    return parse_memory_document(*bytes);
}

// Something other than a folder stands where the document belongs, and it is no document of ours.
bool holds_unreadable_document(const std::filesystem::path& file) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(file, error);
    if (error || !std::filesystem::exists(status) || std::filesystem::is_directory(status)) return false;
    return !read_document(file).has_value();
}

}  // namespace

RememberedEndpoints FileEndpointMemory::recall() const {
    if (!data_directory_) return {};
    return read_document(*data_directory_ / std::string(kMemoryFileName)).value_or(RememberedEndpoints{});
}

RememberOutcome FileEndpointMemory::remember(const RememberedEndpoints& remembered) const {
    if (!data_directory_) return {};
    const std::filesystem::path parent = data_directory_->parent_path();
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(parent, error);
        if (error) return {};
    }
    if (!platform_fs::unix::create_private_directory(*data_directory_)) return {};
    RememberOutcome outcome;
    const std::filesystem::path file = *data_directory_ / std::string(kMemoryFileName);
    if (holds_unreadable_document(file)) {
        // The rename replaces an older kept document; should it fail, nothing is written over this one.
        const std::filesystem::path aside = *data_directory_ / std::string(kUnreadableFileName);
        std::error_code error;
        std::filesystem::rename(file, aside, error);
        if (error) return {};
        outcome.kept_aside = aside;
    }
    outcome.written =
        platform_fs::write_data_file(*data_directory_, kMemoryFileName, render_memory_document(remembered));
    return outcome;
}

}  // namespace ambrel::endpoint_memory

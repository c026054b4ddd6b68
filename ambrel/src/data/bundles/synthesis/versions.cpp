#include "data/bundles/synthesis/versions.hpp"

#include <charconv>

#include "data/bundles/synthesis/tagging_model_names.hpp"

namespace ambrel::data::bundles::synthesis {

namespace {

constexpr std::string_view kVersionStart = "<version name=\"";
constexpr std::string_view kVersionEnd = "\"";

}  // namespace

bool api_version_is_supported(std::string_view api_version) {
    std::string_view major = api_version.substr(0, api_version.find('.'));
    if (!major.empty() && major.front() == '+') major.remove_prefix(1);
    if (major.empty()) return false;
    for (const char c : major) {
        if (c < '0' || c > '9') return false;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(major.data(), major.data() + major.size(), value);
    if (error != std::errc{} || end != major.data() + major.size()) return false;
    return value >= kMinimumRecordApiMajor;
}

std::set<std::string> version_names_in(std::string_view document) {
    return names_between(document, kVersionStart, kVersionEnd);
}

}  // namespace ambrel::data::bundles::synthesis

#include "endpoint/deploy_endpoint.hpp"

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::endpoint {

std::string_view GitBranchRef::local_name() const noexcept {
    const std::string_view full = name;
    if (!remote.has_value()) return full;
    const std::string_view prefix = *remote;
    if (full.size() <= prefix.size() || !full.starts_with(prefix)) return full;
    if (full[prefix.size()] != '/') return full;
    return full.substr(prefix.size() + 1);
}

std::string DeployEndpoint::label() const {
    if (const Org* side = org()) return side->org.alias;
    const Git& side = std::get<Git>(value);
    return fmt::format("{}@{}", repo_directory_name(side.repository), side.branch.name);
}

std::string repo_directory_name(const std::filesystem::path& repository) {
    // Work on the raw bytes: the path need not be valid UTF-8, and "." components anywhere but a
    // "./" prefix carry no name, the way a normalising component walk treats them.
    const std::string& bytes = repository.native();
    std::string_view last;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        std::size_t end = bytes.find('/', start);
        if (end == std::string::npos) end = bytes.size();
        const std::string_view segment(bytes.data() + start, end - start);
        if (!segment.empty() && segment != ".") last = segment;
        start = end + 1;
    }
    if (last.empty() || last == "..") return "repository";
    std::string decoded = text::decode_lossy(last);
    return decoded.empty() ? std::string("repository") : decoded;
}

}  // namespace ambrel::endpoint

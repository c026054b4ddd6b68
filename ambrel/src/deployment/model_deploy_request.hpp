#pragma once

// What the constraint model transfer after a deploy is asked to complete. Plain data.

#include <map>
#include <string>

namespace ambrel::deployment {

struct ModelDeployRequest {
    // The username the comparison recorded, not the alias of the target endpoint.
    std::string target_username;
    // Model name to the model's whole constraint model document.
    std::map<std::string, std::string> documents;
    std::string api_version;

    bool operator==(const ModelDeployRequest&) const = default;
};

}  // namespace ambrel::deployment

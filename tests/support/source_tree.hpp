#pragma once

// Builds small SFDX source trees in a private temporary folder for the metadata reader tests: documents,
// folders, symbolic links and FIFOs, and names of the components a reader returned.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "domain/component.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing {

inline const std::string kMetadataNs = "http://soap.sforce.com/2006/04/metadata";

// "<?xml ...?>\n<{root} xmlns=\"{metadata namespace}\">{body}</{root}>\n"
inline std::string metadata_document(std::string_view root, std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(root) + " xmlns=\"" + kMetadataNs + "\">" +
           std::string(body) + "</" + std::string(root) + ">\n";
}

class SourceTree {
public:
    const std::filesystem::path& root() const { return dir_.path(); }

    // Writes the file, creating its folders.
    std::filesystem::path file(const std::filesystem::path& relative, std::string_view content) const {
        const std::filesystem::path path = root() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out << content;
        return path;
    }
    std::filesystem::path folder(const std::filesystem::path& relative) const {
        const std::filesystem::path path = root() / relative;
        std::filesystem::create_directories(path);
        return path;
    }
    // A symbolic link at `relative` pointing to `target` (absolute or relative to the link).
    void link(const std::filesystem::path& relative, const std::filesystem::path& target) const {
        const std::filesystem::path path = root() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::create_symlink(target, path);
    }
    void fifo(const std::filesystem::path& relative) const {
        const std::filesystem::path path = root() / relative;
        std::filesystem::create_directories(path.parent_path());
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }

private:
    TempDir dir_;
};

inline std::vector<std::string> names_of(const std::vector<domain::MetadataComponent>& components) {
    std::vector<std::string> names;
    for (const domain::MetadataComponent& component : components) names.push_back(component.key.name);
    return names;
}

// Text values of the attributes; "<absent>" for a missing value.
inline std::vector<std::string> attribute_texts(const domain::MetadataComponent& component) {
    std::vector<std::string> out;
    for (const domain::AttributeValue& value : component.attributes) {
        const std::string* text = value.text_value();
        out.push_back(text ? *text : "<absent>");
    }
    return out;
}

inline bool running_as_root() { return ::geteuid() == 0; }

// A catalogue type by its API name; an unknown name fails the test.
inline metadata_types::MetadataType registry_type(std::string_view name) {
    const auto type = metadata_types::MetadataType::from_api_name(name);
    EXPECT_TRUE(type.has_value()) << name;
    return *type;
}

}  // namespace ambrel::testing

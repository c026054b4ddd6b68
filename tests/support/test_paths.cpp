#include "support/test_paths.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ambrel::testing {

// The build's folders arrive as definitions of this file alone, so that no other test source depends
// on where the checkout lies.
std::filesystem::path tests_dir() { return AMBREL_TESTS_DIR; }
std::filesystem::path corpus_dir() { return AMBREL_CORPUS_DIR; }
std::filesystem::path fake_bin_dir() { return AMBREL_FAKE_BIN_DIR; }
std::filesystem::path real_sf_dir() { return AMBREL_REAL_SF_DIR; }

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ambrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

mode_t file_mode(const std::filesystem::path& path) {
    struct stat entry {};
    EXPECT_EQ(::lstat(path.c_str(), &entry), 0) << path;
    return entry.st_mode & 07777;
}

ScopedVariable::ScopedVariable(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedVariable::~ScopedVariable() {
    if (old_) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

std::optional<std::filesystem::path> find_on_path(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest = path;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

}  // namespace ambrel::testing

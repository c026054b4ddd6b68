#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace ambrel::testing {

// tests/ in the source tree (fixtures live below it).
std::filesystem::path tests_dir();
// The metadata corpus kept in the repository: public SFDX projects, one folder each.
std::filesystem::path corpus_dir();
// The bytes of one corpus file; a file that cannot be opened fails the test and reads as empty.
inline std::string read_corpus(const std::filesystem::path& relative) {
    std::ifstream in(corpus_dir() / relative, std::ios::binary);
    EXPECT_TRUE(in.good()) << relative;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
// The folder holding the fake `sf` executable.
std::filesystem::path fake_bin_dir();
// The pinned real Salesforce CLI install (node_modules/.bin/sf below it once installed).
std::filesystem::path real_sf_dir();

// True when the tests run under CI (the variable CI is set and not empty): there a missing tool or
// missing data is an install fault to show, not a reason to skip.
inline bool under_ci() {
    const char* value = std::getenv("CI");
    return value != nullptr && *value != '\0';
}

// Skips the test for a missing tool or missing data, except under CI, where the test fails.
#define AMBREL_SKIP_UNLESS_CI(reason)                      \
    do {                                                    \
        if (::ambrel::testing::under_ci()) {                \
            FAIL() << "missing under CI: " << (reason);     \
        } else {                                            \
            GTEST_SKIP() << (reason);                       \
        }                                                   \
    } while (false)

// A private temporary directory, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The whole content of a file, or an empty text when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The executable `name` in a folder of this process's PATH, if any.
std::optional<std::filesystem::path> find_on_path(std::string_view name);

// The permission bits of a path itself (links not followed); a failed lstat fails the test.
mode_t file_mode(const std::filesystem::path& path);

// Sets a variable of this process (the children inherit it) until the object goes away, then
// restores the old value or unsets it.
class ScopedVariable {
public:
    ScopedVariable(std::string name, const std::string& value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace ambrel::testing

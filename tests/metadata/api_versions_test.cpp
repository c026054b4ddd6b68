#include "metadata/manifest/api_versions.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "support/test_paths.hpp"

namespace ambrel::metadata::manifest {
namespace {

using Version = std::optional<std::pair<std::uint32_t, std::uint32_t>>;

TEST(ApiVersions, PatternMatchesTheWholeText) {
    for (const char* good : {"65.0", "65", "60.10", "0"}) EXPECT_TRUE(is_api_version(good)) << good;
    for (const char* bad : {"", "v65", "65.0.1", " 65.0", "65.0\n", "65.", ".5", "+65", "65,0"}) {
        EXPECT_FALSE(is_api_version(bad)) << bad;
    }
}

TEST(ApiVersions, ParseTable) {
    const struct {
        const char* text;
        Version expected;
    } cases[] = {
        {"65", Version{{65, 0}}},       {"65.2", Version{{65, 2}}},   {"+65.0", Version{{65, 0}}},
        {"60.10", Version{{60, 10}}},   {"4294967295", Version{{4294967295u, 0}}},
        {"4294967296", std::nullopt},   {"", std::nullopt},           {".5", std::nullopt},
        {"65.", std::nullopt},          {"-1.0", std::nullopt},       {"65.2.1", std::nullopt},
        {"++65", std::nullopt},         {" 65", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_api_version(c.text), c.expected);
    }
}

TEST(ApiVersions, TheLowestUsableVersionWins) {
    using Text = std::optional<std::string>;
    const struct {
        Text source;
        Text target;
        std::string expected;
    } cases[] = {
        {std::nullopt, std::nullopt, "65.0"},
        {Text(""), Text("v1"), "65.0"},
        {Text("65.0.1"), Text(" 65.0"), "65.0"},
        {Text("65.0\n"), std::nullopt, "65.0"},
        {Text("64.0"), Text("65.0"), "64.0"},
        {Text("65.0"), Text("64.0"), "64.0"},
        {Text("60.9"), Text("60.10"), "60.9"},
        {Text("65"), std::nullopt, "65.0"},
        {Text("065.00"), std::nullopt, "65.0"},
        {Text("60.10"), std::nullopt, "60.10"},
        {Text("99999999999"), Text("62.0"), "62.0"},
        {Text("99999999999"), std::nullopt, "65.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.value_or("<none>") + " / " + c.target.value_or("<none>"));
        EXPECT_EQ(api_version_for_orgs(c.source, c.target), c.expected);
    }
    endpoint::OrgAlias org;
    org.instance_api_version = "62.0";
    EXPECT_EQ(api_version_for_orgs(std::optional<endpoint::OrgAlias>(org), std::nullopt), "62.0");
    EXPECT_EQ(api_version_for_orgs(std::optional<endpoint::OrgAlias>(), std::nullopt), "65.0");
}

TEST(ApiVersions, AbsoluteNormalizedIsLexical) {
    EXPECT_EQ(absolute_normalized("/a/./b/../c/"), std::filesystem::path("/a/c"));
    EXPECT_EQ(absolute_normalized("/.."), std::filesystem::path("/"));
    EXPECT_EQ(absolute_normalized("//a//b"), std::filesystem::path("/a/b"));
    EXPECT_EQ(absolute_normalized("x/../y"), std::filesystem::current_path() / "y");
}

TEST(ApiVersions, ARelativePathStaysRelativeWhenTheCurrentFolderIsGone) {
    // The check runs in a child so that the test process keeps its own current folder.
    ambrel::testing::TempDir dir;
    const std::filesystem::path gone = dir.path() / "gone";
    std::filesystem::create_directory(gone);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) ::_exit(2);
        ::_exit(absolute_normalized("../a") == std::filesystem::path("a") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ambrel::metadata::manifest

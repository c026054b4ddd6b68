#include <gtest/gtest.h>

#include "endpoint/deploy_endpoint.hpp"

namespace ambrel::endpoint {
namespace {

OrgAlias org(std::string alias) {
    OrgAlias row;
    row.alias = std::move(alias);
    row.username = "admin@example.com";
    row.org_id = "00D000000000001";
    return row;
}

DeployEndpoint git(std::filesystem::path repository, std::string branch) {
    GitBranchRef ref;
    ref.name = std::move(branch);
    return {DeployEndpoint::Git{std::move(repository), std::move(ref)}};
}

TEST(DeployEndpoint, OrgLabelIsTheAliasUnchanged) {
    const DeployEndpoint endpoint{DeployEndpoint::Org{org("dev@sandbox ")}};
    EXPECT_EQ(endpoint.label(), "dev@sandbox ");
    EXPECT_TRUE(endpoint.is_org());
    ASSERT_NE(endpoint.org(), nullptr);
    EXPECT_EQ(endpoint.org()->org.username, "admin@example.com");
    EXPECT_EQ(endpoint.git(), nullptr);
}

TEST(DeployEndpoint, GitLabelIsFolderAtBranch) {
    EXPECT_EQ(git("/work/sfdx-app", "main").label(), "sfdx-app@main");
    EXPECT_EQ(git("/work/sfdx-app", "origin/main").label(), "sfdx-app@origin/main");
    EXPECT_EQ(git("/", "main").label(), "repository@main");
}

TEST(DeployEndpoint, CopiesAreDeepAndCompareByValue) {
    DeployEndpoint original = git("/work/app", "feature");
    DeployEndpoint copy = original;
    std::get<DeployEndpoint::Git>(copy.value).branch.base = "main";
    EXPECT_NE(copy, original);
    EXPECT_FALSE(std::get<DeployEndpoint::Git>(original.value).branch.base.has_value());
    EXPECT_NE((DeployEndpoint{DeployEndpoint::Org{org("a")}}), (DeployEndpoint{DeployEndpoint::Org{org("b")}}));
}

TEST(GitBranchRef, LocalName) {
    struct Case {
        std::string name;
        std::optional<std::string> remote;
        std::string_view local;
    };
    const std::vector<Case> cases = {
        {"origin/main", "origin", "main"},
        {"originx/main", "origin", "originx/main"},
        {"origin", "origin", "origin"},
        {"origin/main", std::nullopt, "origin/main"},
        {"origin/feature/x", "origin", "feature/x"},
        {"up/main", "upstream", "up/main"},
        {"origin/", "origin", ""},
    };
    for (const Case& c : cases) {
        GitBranchRef ref;
        ref.name = c.name;
        ref.remote = c.remote;
        EXPECT_EQ(ref.local_name(), c.local) << c.name;
    }
}

TEST(RepoDirectoryName, LastNormalComponent) {
    struct Case {
        std::string path;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"/work/app", "app"},
        {"/work/app/", "app"},
        {"/work/app//", "app"},
        {"/work/app/.", "app"},
        {"/work/app/./", "app"},
        {"work/./app", "app"},
        {"app", "app"},
        {"/", "repository"},
        {"//", "repository"},
        {"", "repository"},
        {".", "repository"},
        {"./", "repository"},
        {"/work/..", "repository"},
        {"..", "repository"},
        {"/work/my app", "my app"},
        {"/work/r\xC3\xA9po", "r\xC3\xA9po"},
        {"/work/bad\xFFname", "bad\xEF\xBF\xBDname"},
    };
    for (const Case& c : cases) EXPECT_EQ(repo_directory_name(c.path), c.name) << c.path;
}

}  // namespace
}  // namespace ambrel::endpoint

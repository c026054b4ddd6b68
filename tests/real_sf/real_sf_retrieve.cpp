// The project retrieve against the pinned real Salesforce CLI: in a fresh workspace with an unknown
// alias, the CLI accepts the argument list and the project file and stops at the org lookup.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/retrieve/retrieve_command.hpp"
#include "metadata/retrieve/retrieve_service.hpp"
#include "metadata/workspace/workspace.hpp"
#include "real_sf/real_sf_fixture.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::retrieve {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using RealSfRetrieve = ambrel::testing::RealSfTest;

TEST_F(RealSfRetrieve, AnUnknownAliasFailsAtTheOrgLookup) {
    ambrel::testing::TempDir anchor;
    auto location = workspace::WorkspaceTrustAnchor::at(anchor.path()).workspace_at(anchor.path() / "quillary");
    ASSERT_TRUE(location);
    auto created = workspace::MetadataWorkspace::create(*location, "65.0");
    ASSERT_TRUE(created) << created.error().message();
    const auto& workspace = **created;
    const auto written = write_manifest("65.0", workspace.source_project() / "manifest" / "package.xml",
                                        {{metadata_types::MetadataType::ApexClass, {"Util"}}});
    ASSERT_TRUE(written);

    const auto result = retrieve_one(*gateway_, "ambrel-no-such-org", workspace.source_project(), 180s, never_, true);
    ASSERT_FALSE(result);
    const auto* failed = result.error().get_if<MetadataRetrieveError::Failed>();
    ASSERT_NE(failed, nullptr) << result.error().message();
    EXPECT_EQ(failed->exit_code, 2);
    EXPECT_EQ(failed->status, 2);
    EXPECT_THAT(result.error().message(),
                HasSubstr("Salesforce metadata retrieve failed for alias 'ambrel-no-such-org' (exit code 2, CLI status "
                          "Some(2), timed out: false): NamedOrgNotFoundError"));
    EXPECT_TRUE(workspace.close());
}

}  // namespace
}  // namespace ambrel::metadata::retrieve

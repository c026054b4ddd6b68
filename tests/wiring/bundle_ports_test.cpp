// The bundle and model ports: the two listings over the fake `sf`, the document files of the
// synthesis against hostile folders, and the pieces every record port shares (progress, failures).

#include "wiring/bundle_ports.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalogs/revenue_cloud_catalog.hpp"
#include "data/orchestrator/orchestrator.hpp"
#include "support/programming_error.hpp"
#include "wiring/fake_cli_session.hpp"
#include "wiring/preparation_ports.hpp"
#include "wiring/record_channels.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

namespace fake = ambrel::testing::fake_sf;
namespace fs = std::filesystem;
using app::FailureKind;
using app::WorkflowFailure;
using testing::query_answer;

constexpr std::string_view kOrg = "dh";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(FlatDocumentLayout, DefinitionsAndVersionsLieFlat) {
    EXPECT_EQ(flat_document_layout(kDefinitionTypeName),
              (std::pair<std::string_view, std::string_view>("expressionSetDefinition", "expressionSetDefinition")));
    EXPECT_EQ(flat_document_layout(kDefinitionVersionTypeName),
              (std::pair<std::string_view, std::string_view>("expressionSetVersion", "expressionSetVersion")));
    EXPECT_THROW(flat_document_layout("NoSuchType"), support::ProgrammingError);
    EXPECT_THROW(flat_document_layout("CustomField"), support::ProgrammingError);
}

TEST(ReadFlatDocuments, MissingFolderReadsAsNothing) {
    ambrel::testing::TempDir root;
    EXPECT_TRUE(read_flat_documents(root.path(), "expressionSetDefinition", "expressionSetDefinition").empty());
    write_text(root.path() / "expressionSetDefinition", "a file, not a folder");
    EXPECT_TRUE(read_flat_documents(root.path(), "expressionSetDefinition", "expressionSetDefinition").empty());
}

TEST(ReadFlatDocuments, ReadsRegularFilesWithTheEndingOnly) {
    ambrel::testing::TempDir root;
    const fs::path folder = root.path() / "expressionSetDefinition";
    write_text(folder / "Pricing.expressionSetDefinition-meta.xml", "<pricing/>");
    write_text(folder / "Rules_2.expressionSetDefinition-meta.xml", "<rules/>");
    write_text(folder / "Other.expressionSetVersion-meta.xml", "<other/>");
    write_text(folder / "Plain.xml", "<plain/>");
    write_text(folder / ".expressionSetDefinition-meta.xml", "<nameless/>");
    write_text(folder / "Latin1.expressionSetDefinition-meta.xml", "caf\xe9");
    write_text(folder / std::string("Bad\xff.expressionSetDefinition-meta.xml"), "<badname/>");
    fs::create_directories(folder / "Sub.expressionSetDefinition-meta.xml");
    write_text(folder / "Sub.expressionSetDefinition-meta.xml" / "Inner.expressionSetDefinition-meta.xml", "<inner/>");
    write_text(root.path() / "outside.xml", "<secret/>");
    fs::create_symlink(root.path() / "outside.xml", folder / "Linked.expressionSetDefinition-meta.xml");
    ASSERT_EQ(::mkfifo((folder / "Fifo.expressionSetDefinition-meta.xml").c_str(), 0600), 0);

    const auto documents = read_flat_documents(root.path(), "expressionSetDefinition", "expressionSetDefinition");
    EXPECT_EQ(documents, (std::map<std::string, std::string>{{"Pricing", "<pricing/>"}, {"Rules_2", "<rules/>"}}));
}

TEST(ReadFlatDocuments, UnreadableFileIsSkipped) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    ambrel::testing::TempDir root;
    const fs::path folder = root.path() / "expressionSetVersion";
    write_text(folder / "Locked.expressionSetVersion-meta.xml", "<locked/>");
    write_text(folder / "Open.expressionSetVersion-meta.xml", "<open/>");
    fs::permissions(folder / "Locked.expressionSetVersion-meta.xml", fs::perms::none);
    EXPECT_EQ(read_flat_documents(root.path(), "expressionSetVersion", "expressionSetVersion"),
              (std::map<std::string, std::string>{{"Open", "<open/>"}}));
}

TEST(WriteRecordDocuments, WritesSafePathsAndReportsTheRest) {
    ambrel::testing::TempDir root;
    const fs::path metadata = root.path() / "force-app" / "main" / "default";
    write_text(metadata / "productBundles" / "Old.productBundle-meta.xml", "old");
    const std::map<std::string, std::string> documents = {
        {"../escape.productBundle-meta.xml", "no"},
        {"/abs.productBundle-meta.xml", "no"},
        {"constraintModels/Car.constraintModel-meta.xml", "<car/>"},
        {"productBundles/Old.productBundle-meta.xml", "new"},
        {"productBundles/a\\b.productBundle-meta.xml", "no"},
        {"productBundles/./x.productBundle-meta.xml", "no"},
    };
    const auto messages = write_record_documents(metadata, documents);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Could not prepare the document for '../escape.productBundle-meta.xml'; the name is not a "
                            "safe file path on this platform.",
                            "Could not prepare the document for '/abs.productBundle-meta.xml'; the name is not a safe "
                            "file path on this platform.",
                            "Could not prepare the document for 'productBundles/./x.productBundle-meta.xml'; the name "
                            "is not a safe file path on this platform.",
                            "Could not prepare the document for 'productBundles/a\\b.productBundle-meta.xml'; the name "
                            "is not a safe file path on this platform.",
                        }));
    EXPECT_EQ(read_text(metadata / "constraintModels" / "Car.constraintModel-meta.xml"), "<car/>");
    EXPECT_EQ(read_text(metadata / "productBundles" / "Old.productBundle-meta.xml"), "new");
    EXPECT_FALSE(fs::exists(metadata.parent_path() / "escape.productBundle-meta.xml"));
}

TEST(WriteRecordDocuments, MakesAMissingRootFolder) {
    ambrel::testing::TempDir root;
    const fs::path metadata = root.path() / "force-app" / "main" / "default";
    EXPECT_TRUE(write_record_documents(metadata, {{"productBundles/Bike.productBundle-meta.xml", "<bike/>"}}).empty());
    EXPECT_EQ(read_text(metadata / "productBundles" / "Bike.productBundle-meta.xml"), "<bike/>");
}

TEST(WriteRecordDocuments, NeverFollowsALink) {
    ambrel::testing::TempDir root;
    const fs::path metadata = root.path() / "default";
    const fs::path outside = root.path() / "outside";
    write_text(outside / "target.xml", "untouched");
    fs::create_directories(metadata / "productBundles");
    fs::create_symlink(outside / "target.xml", metadata / "productBundles" / "Bike.productBundle-meta.xml");
    fs::create_directory_symlink(outside, metadata / "constraintModels");

    const auto messages = write_record_documents(metadata, {{"constraintModels/Car.constraintModel-meta.xml", "<car/>"},
                                                            {"productBundles/Bike.productBundle-meta.xml", "<bike/>"}});
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "Could not write the synthesized document for 'constraintModels/Car.constraintModel-meta.xml'.",
                  "Could not write the synthesized document for 'productBundles/Bike.productBundle-meta.xml'.",
              }));
    EXPECT_EQ(read_text(outside / "target.xml"), "untouched");
    EXPECT_FALSE(fs::exists(outside / "Car.constraintModel-meta.xml"));
}

TEST(RecordSynthesisResult, OutcomeMessagesThenSourceThenTargetWriteMessages) {
    ambrel::testing::TempDir root;
    app::ports::RecordSynthesisRequest request;
    request.source_documents_folder = root.path() / "source" / "force-app" / "main" / "default";
    request.target_documents_folder = root.path() / "target" / "force-app" / "main" / "default";
    const domain::ComponentKey row{metadata_types::MetadataType::ProductBundle, "Bike"};
    const auto synthesis = record_synthesis_of(
        request, {"Synthesis note."}, {{"productBundles/Bike.productBundle-meta.xml", "<s/>"}, {"../x", "no"}},
        {{"productBundles/Bike.productBundle-meta.xml", "<t/>"}, {"..", "no"}}, {}, {{row, "blocked"}});
    EXPECT_EQ(synthesis.warnings,
              (std::vector<std::string>{
                  "Synthesis note.",
                  "Could not prepare the document for '../x'; the name is not a safe file path on this platform.",
                  "Could not prepare the document for '..'; the name is not a safe file path on this platform.",
              }));
    EXPECT_EQ(synthesis.row_reasons.at(row), "blocked");
    EXPECT_EQ(read_text(request.source_documents_folder / "productBundles" / "Bike.productBundle-meta.xml"), "<s/>");
    EXPECT_EQ(read_text(request.target_documents_folder / "productBundles" / "Bike.productBundle-meta.xml"), "<t/>");
}

TEST(RecordPortFailures, CancellationAndTexts) {
    EXPECT_EQ(
        transfer_failure(std::nullopt),
        WorkflowFailure::single(FailureKind::Cancelled,
                                "The transfer was cancelled; a request already sent is still applied by the target."));
    EXPECT_EQ(transfer_failure("The org refused."), WorkflowFailure::operation("The org refused."));
    EXPECT_EQ(record_work_failure(std::nullopt), WorkflowFailure::cancelled());
    EXPECT_EQ(record_work_failure("Bad answer."), WorkflowFailure::operation("Bad answer."));

    const WorkflowFailure idle = fix_cancelled_failure(3, 10, 0);
    EXPECT_EQ(idle.kind, FailureKind::Cancelled);
    EXPECT_EQ(idle.messages,
              (std::vector<std::string>{"Salesforce field workflow was cancelled",
                                        "The target fix was cancelled after 3 of 10 records were deleted."}));
    const WorkflowFailure in_flight = fix_cancelled_failure(200, 450, 200);
    EXPECT_EQ(in_flight.messages,
              (std::vector<std::string>{"Salesforce field workflow was cancelled",
                                        "The target fix was cancelled after 200 of 450 records were deleted; a delete "
                                        "request for 200 more was already sent and may have been applied by the "
                                        "target."}));
}

class BundlePortsTest : public testing::FakeCliSession {
protected:
    std::shared_ptr<const app::ports::BundleDependencies> ports() { return make_bundle_ports(gateway_, progress_); }
};

TEST_F(BundlePortsTest, ProgressCallablesReportTheirStages) {
    transfer_text_progress(progress_)("Bike: 3 records");
    health_step_progress(progress_)("Reading the target", 2, 7);
    const auto reported = events();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].stage, progress::ProgressStage::DeployingRecords);
    EXPECT_EQ(reported[0].current, std::nullopt);
    EXPECT_EQ(reported[0].detail, std::optional<std::string>("Bike: 3 records"));
    EXPECT_EQ(reported[1].stage, progress::ProgressStage::CheckingTargetHealth);
    EXPECT_EQ(reported[1].current, std::optional<std::uint32_t>(2));
    EXPECT_EQ(reported[1].total, std::optional<std::uint32_t>(7));
    EXPECT_EQ(reported[1].detail, std::optional<std::string>("Reading the target"));
}

TEST_F(BundlePortsTest, ListingsReportProgressAndQueryTheOrg) {
    scenario(fake::Scenario()
                 .orgs({std::string(kOrg)})
                 .on_prefix(
                     {"data", "query"},
                     query_answer(
                         R"([{"attributes":{"type":"Product2"},"Id":"01t000000000001AAA","Name":"Bike Bundle"}])", 1)));
    auto bundles = ports()->product_bundle_listing(std::string(kOrg), token_);
    ASSERT_TRUE(bundles) << bundles.error().detail_text();
    EXPECT_EQ(bundles->size(), 1u);
    (void)ports()->constraint_model_listing(std::string(kOrg), token_);

    const auto reported = events();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].stage, progress::ProgressStage::ListingMetadata);
    EXPECT_EQ(reported[0].detail, std::optional<std::string>("ProductBundle"));
    EXPECT_EQ(reported[1].detail, std::optional<std::string>("ConstraintModel"));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_THAT(recorded[0].args, ::testing::Contains(std::string(cli::catalogs::kProductBundleQuery)));
    EXPECT_THAT(recorded[1].args, ::testing::Contains(std::string(cli::catalogs::kConstraintModelQuery)));
}

TEST_F(BundlePortsTest, ListingFailuresNameTheOrg) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    for (bool models : {false, true}) {
        SCOPED_TRACE(models);
        auto rows = models ? ports()->constraint_model_listing("other", token_)
                           : ports()->product_bundle_listing("other", token_);
        ASSERT_FALSE(rows);
        EXPECT_EQ(rows.error().kind, FailureKind::Operation);
        EXPECT_EQ(rows.error().org_alias, std::optional<std::string>("other"));
    }
    token_.cancel();
    auto cancelled = ports()->product_bundle_listing(std::string(kOrg), token_);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error(), WorkflowFailure::with_org_alias(WorkflowFailure::cancelled(), kOrg));
}

TEST_F(BundlePortsTest, SynthesisWithoutBundlesOrModelsReportsNoProgress) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    app::ports::RecordSynthesisRequest request;
    request.source_documents_folder = workspace_root() / "source";
    request.target_documents_folder = workspace_root() / "target";
    request.api_version = "67.0";
    (void)ports()->bundle_document_synthesis(request, token_);
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(fs::exists(request.source_documents_folder));
    EXPECT_FALSE(fs::exists(request.target_documents_folder));
}

TEST_F(BundlePortsTest, SynthesisReportsEachRecordKindItNames) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    app::ports::RecordSynthesisRequest request;
    request.bundle_names = {"Bike"};
    request.model_names = {"Car"};
    request.source_documents_folder = workspace_root() / "source";
    request.target_documents_folder = workspace_root() / "target";
    (void)ports()->bundle_document_synthesis(request, token_);
    const auto reported = events();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].stage, progress::ProgressStage::RetrievingMetadata);
    EXPECT_EQ(reported[0].detail, std::optional<std::string>("ProductBundle"));
    EXPECT_EQ(reported[1].stage, progress::ProgressStage::RetrievingMetadata);
    EXPECT_EQ(reported[1].detail, std::optional<std::string>("ConstraintModel"));
}

TEST_F(BundlePortsTest, GroupsAreMadeFromTheSessionContext) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}).on_prefix({"data", "query"}, query_answer("[]", 0)));
    const WiringContext& context = context_;
    auto bundles = make_bundle_ports(context)->product_bundle_listing(std::string(kOrg), token_);
    ASSERT_TRUE(bundles) << bundles.error().detail_text();
    EXPECT_EQ(events().size(), 1u);

    auto versions = make_procedure_version_ports(context)->expression_set_version_listing(std::string(kOrg),
                                                                                         "Pricing", token_);
    ASSERT_TRUE(versions) << versions.error().detail_text();
    EXPECT_EQ(calls().size(), 2u);

    token_.cancel();
    auto report = make_preparation_ports(context)->preparation_inspection(std::string(kOrg), "other", token_);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), WorkflowFailure::operation(data::orchestrator::kCancelled));
}

}  // namespace
}  // namespace ambrel::server::wiring

#include "app/comparison_session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app_test_rows.hpp"
#include "platform_fs/files.hpp"
#include "support/programming_error.hpp"

namespace ambrel::app_tests {
namespace {

namespace fs = std::filesystem;
using app::ComparisonSession;
using app::SourceOverrideError;

std::shared_ptr<ComparisonSession> make_session(std::vector<ComponentDifference> rows,
                                                std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace = {},
                                                app::TargetOrgClass target_class = app::TargetOrgClass::Unconfirmed,
                                                bool allow_best_effort = false) {
    return ComparisonSession::with_dependency_graph(org_endpoint("src", "src@example.com", "00D1"),
                                                    org_endpoint("tgt", "tgt@example.com", "00D2"), std::move(rows),
                                                    std::move(workspace), {}, target_class, "65.0", allow_best_effort);
}

ComponentDifference apex_class(std::string name, std::string body = "public class X {}") {
    ComponentDifference difference = row(MetadataType::ApexClass, std::move(name));
    difference.source.body = domain::ComponentBody{"classes/X.cls", std::move(body)};
    return difference;
}

std::string read_file(const fs::path& path) {
    auto text = platform_fs::files::read_regular_file(path);
    return text ? *text : std::string("<unreadable>");
}

// Reads constraint model documents for the tests: a document that mentions "active" has one active
// version, any other has none. The stand-in is put back afterwards.
class ActiveVersionReaderScope {
public:
    ActiveVersionReaderScope() : previous_(app::set_active_version_reader(&read)) {}
    ~ActiveVersionReaderScope() { app::set_active_version_reader(previous_); }

private:
    static std::expected<std::vector<std::string>, std::string> read(std::string_view document) {
        if (document.find("active") != std::string_view::npos) return std::vector<std::string>{"V1"};
        return std::vector<std::string>{};
    }
    app::ActiveVersionReader previous_;
};

TEST(ComparisonSession, SessionsTakeConsecutiveIds) {
    const auto first = make_session({});
    const auto second = make_session({});
    EXPECT_GE(first->id(), 1U);
    EXPECT_EQ(second->id(), first->id() + 1);
}

TEST(ComparisonSession, UsernamesAndOrgIdsComeFromOrgEndpointsOnly) {
    const auto session = ComparisonSession::with_retry_unexpected_errors_alone(
        org_endpoint("src", "src@example.com", "00D1"), git_endpoint("/repos/app", "main"), {}, nullptr, {},
        app::TargetOrgClass::Unconfirmed, "65.0", false, true);
    EXPECT_EQ(session->source_username(), "src@example.com");
    EXPECT_EQ(session->source_org_id(), "00D1");
    EXPECT_EQ(session->target_username(), "");
    EXPECT_EQ(session->target_org_id(), "");
    EXPECT_TRUE(session->retry_unexpected_errors_alone());
    EXPECT_EQ(session->source_label(), "src");
    EXPECT_EQ(session->target_label(), "app@main");
}

TEST(ComparisonSession, AnAddedObjectCascadesToAllItsFieldRows) {
    std::vector<ComponentDifference> rows{row(MetadataType::CustomObject, "Invoice__c"),
                                          row(MetadataType::CustomField, "Invoice__c.Total__c", ChangeKind::Add, false),
                                          row(MetadataType::CustomField, "Invoice__c.Due__c", ChangeKind::Update, false),
                                          row(MetadataType::CustomField, "Other__c.X__c")};
    const auto added = make_session(rows);
    ASSERT_EQ(added->cascade_children().size(), 1U);
    EXPECT_EQ(added->cascade_children().at(key(MetadataType::CustomObject, "Invoice__c")),
              (std::set<ComponentKey>{key(MetadataType::CustomField, "Invoice__c.Due__c"),
                                      key(MetadataType::CustomField, "Invoice__c.Total__c")}));

    rows[0].change = ChangeKind::Update;
    EXPECT_TRUE(make_session(rows)->cascade_children().empty());
}

TEST(ComparisonSession, ABundleCascadesOnlyToTaggedModelsWithAnActiveVersion) {
    ActiveVersionReaderScope reader;
    ComponentDifference bundle =
        row(MetadataType::ProductBundle, "B1", ChangeKind::Add, true, "<model>M1</model><model>M2</model><model>M9</model>");
    ComponentDifference active_model = row(MetadataType::ConstraintModel, "M1", ChangeKind::Add, true, "active");
    ComponentDifference inactive_model = row(MetadataType::ConstraintModel, "M2", ChangeKind::Add, true, "draft");
    inactive_model.required_by = "B1";
    const auto session = make_session({bundle, active_model, inactive_model});

    EXPECT_EQ(session->cascade_children().at(key(MetadataType::ProductBundle, "B1")),
              (std::set<ComponentKey>{key(MetadataType::ConstraintModel, "M1")}));
    EXPECT_EQ(session->rows()[2].required_by, "B1; not auto-checked: no active version in the source");
    EXPECT_FALSE(session->rows()[1].required_by.has_value());

    // A second construction over rows that already carry the note does not add it again.
    const auto again = make_session(session->rows());
    EXPECT_EQ(again->rows()[2].required_by, "B1; not auto-checked: no active version in the source");
}

TEST(ComparisonSession, TheModelDocumentReaderDecidesWhichTaggedModelsAreActive) {
    ComponentDifference bundle = row(MetadataType::ProductBundle, "B1", ChangeKind::Add, true, "<model>M1</model>");
    ComponentDifference model = row(MetadataType::ConstraintModel, "M1", ChangeKind::Add, true, "active");
    // A document the reader refuses has no active version.
    EXPECT_TRUE(make_session({bundle, model})->cascade_children().empty());

    model.source.document =
        "<ConstraintModel xmlns=\"urn:quillary:revenue-cloud:constraint-model\"><versions>"
        "<version name=\"V1\" status=\"Active\"/></versions></ConstraintModel>";
    EXPECT_EQ(make_session({bundle, model})->cascade_children().at(key(MetadataType::ProductBundle, "B1")),
              (std::set<ComponentKey>{key(MetadataType::ConstraintModel, "M1")}));
    EXPECT_EQ(app::read_active_version_names(model.source.document), (std::vector<std::string>{"V1"}));
}

TEST(ComparisonSession, TaggedModelPairsKeepOnlyModelsThatHaveRows) {
    const std::vector<ComponentDifference> rows{
        row(MetadataType::ProductBundle, "B1", ChangeKind::Add, true, "<model>M1</model><model>Gone</model>"),
        row(MetadataType::ProductBundle, "B2", ChangeKind::Add, true, "<model>Gone</model>"),
        row(MetadataType::ConstraintModel, "M1")};
    const app::RowKeyMap pairs = app::tagged_model_pairs(rows);
    ASSERT_EQ(pairs.size(), 1U);
    EXPECT_EQ(pairs.at(key(MetadataType::ProductBundle, "B1")),
              (std::set<ComponentKey>{key(MetadataType::ConstraintModel, "M1")}));
}

TEST(ComparisonSession, DeployModeRefusals) {
    ComponentDifference records = row(MetadataType::ProductBundle, "B1");
    records.deploy_scope = MetadataDeployScope::Records;
    const app::SelectedKeys selected{records.key()};

    const auto production = make_session({records}, {}, app::TargetOrgClass::Production);
    EXPECT_EQ(production->refuses_deploy_mode(domain::DeployMode::BestEffort, selected),
              "Best effort is not available against a production org. Use Validate or Deploy instead.");
    EXPECT_EQ(production->refuses_deploy_mode(domain::DeployMode::ValidateOnly, selected),
              "Records cannot roll back and deploy in Best Effort only.");
    EXPECT_EQ(production->refuses_deploy_mode(domain::DeployMode::AllOrNothing, selected),
              "Records cannot roll back and deploy in Best Effort only.");
    EXPECT_FALSE(production->refuses_deploy_mode(domain::DeployMode::AllOrNothing, {}));

    EXPECT_FALSE(make_session({records}, {}, app::TargetOrgClass::Unconfirmed)
                     ->refuses_deploy_mode(domain::DeployMode::BestEffort, selected));
    EXPECT_FALSE(make_session({records}, {}, app::TargetOrgClass::Production, true)
                     ->refuses_deploy_mode(domain::DeployMode::BestEffort, selected));
}

TEST(ComparisonSession, BestEffortIsRequiredOnlyForSelectedChangedRecordRows) {
    ComponentDifference records = row(MetadataType::ProductBundle, "B1");
    records.deploy_scope = MetadataDeployScope::Records;
    const auto session = make_session({records, row(MetadataType::ApexClass, "C")});
    const app::SelectedKeys with{records.key()};
    const app::SelectedKeys without{key(MetadataType::ApexClass, "C")};
    const app::SelectedKeys none;
    EXPECT_TRUE(session->selection_requires_best_effort(nullptr));
    EXPECT_TRUE(session->selection_requires_best_effort(&with));
    EXPECT_FALSE(session->selection_requires_best_effort(&without));
    EXPECT_FALSE(session->selection_requires_best_effort(&none));
    EXPECT_FALSE(make_session({})->selection_requires_best_effort(nullptr));
}

TEST(ComparisonSession, PermissionSubjectsFollowTheSelection) {
    const auto session = make_session({row(MetadataType::CustomField, "Invoice__c.Total__c")});
    const app::SelectedKeys none;
    const app::SelectedKeys other{key(MetadataType::ApexClass, "C")};
    EXPECT_TRUE(session->selection_carries_permission_subjects(nullptr));
    EXPECT_FALSE(session->selection_carries_permission_subjects(&none));
    EXPECT_FALSE(session->selection_carries_permission_subjects(&other));
}

TEST(ComparisonSession, AnEditIsWrittenRecordedShownAndCleared) {
    WorkspaceFixture fixture;
    const auto session = make_session({apex_class("Foo", "old body")}, fixture.workspace());

    auto edited = session->set_source_override(MetadataType::ApexClass, "Foo", std::string("new body"));
    ASSERT_TRUE(edited.has_value()) << edited.error().message();
    EXPECT_TRUE(*edited);
    const auto path = session->source_override_path(key(MetadataType::ApexClass, "Foo"));
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, fixture.workspace()->edits() / "classes/Foo.cls");
    EXPECT_EQ(read_file(*path), "new body");
    EXPECT_TRUE(session->ui_differences()[0].edited);
    EXPECT_FALSE(session->rows()[0].edited);

    std::vector<ComponentDifference> rows = session->rows();
    ASSERT_TRUE(session->apply_source_overrides(rows));
    EXPECT_EQ(rows[0].source.body->text, "new body");
    EXPECT_TRUE(rows[0].edited);

    // The current text counts as no edit: the edit is cleared and its file removed.
    auto cleared = session->set_source_override(MetadataType::ApexClass, "Foo", std::string("old body"));
    ASSERT_TRUE(cleared.has_value());
    EXPECT_FALSE(*cleared);
    EXPECT_FALSE(session->source_override_path(key(MetadataType::ApexClass, "Foo")));
    EXPECT_FALSE(fs::exists(*path));
    EXPECT_FALSE(session->ui_differences()[0].edited);
}

TEST(ComparisonSession, RefusalsOfAnEdit) {
    WorkspaceFixture fixture;
    ComponentDifference unchanged = apex_class("Same");
    unchanged.change = ChangeKind::NoChange;
    const auto session = make_session(
        {apex_class("Foo"), unchanged, row(MetadataType::Layout, "Account-Layout::field:Name"), apex_class("../evil")},
        fixture.workspace());
    struct Case {
        const char* label;
        MetadataType type;
        std::string name;
        std::string message;
    };
    const Case cases[] = {
        {"missing row", MetadataType::ApexClass, "Nope", "The requested component is not part of the active comparison."},
        {"type differs", MetadataType::ApexTrigger, "Foo", "The requested component is not part of the active comparison."},
        {"layout element", MetadataType::Layout, "Account-Layout::field:Name",
         "Only a metadata document that belongs entirely to this row can be edited."},
        {"unchanged", MetadataType::ApexClass, "Same", "This row is not deployable, so its document cannot be edited."},
        {"dot-dot name", MetadataType::ApexClass, "../evil", "The component name does not render a safe file path."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto result = session->set_source_override(c.type, c.name, std::string("body"));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().message(), c.message);
    }
    EXPECT_TRUE(fs::is_empty(fixture.workspace()->edits()));
}

TEST(ComparisonSession, UnsafeComponentNamesNeverBecomePaths) {
    WorkspaceFixture fixture;
    const std::string names[] = {"a/../../b", "/etc/passwd", "a\\b", std::string("a\0b", 3), "a\x01" "b", "a//b", ""};
    std::vector<ComponentDifference> rows;
    for (const std::string& name : names) rows.push_back(apex_class(name));
    const auto session = make_session(rows, fixture.workspace());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        auto result = session->set_source_override(MetadataType::ApexClass, name, std::string("body"));
        ASSERT_FALSE(result.has_value());
        EXPECT_TRUE(result.error().get_if<SourceOverrideError::UnsafePath>() != nullptr) << result.error().message();
    }
    EXPECT_TRUE(fs::is_empty(fixture.workspace()->edits()));
}

TEST(ComparisonSession, DocumentLimitsCountCharacters) {
    WorkspaceFixture fixture;
    const auto session = make_session({row(MetadataType::Flow, "Big"), apex_class("Foo")}, fixture.workspace());
    const std::string at_limit(app::kMetadataDocumentEditLimit, 'x');
    EXPECT_TRUE(session->set_source_override(MetadataType::Flow, "Big", at_limit).has_value());
    auto over = session->set_source_override(MetadataType::Flow, "Big", at_limit + "x");
    ASSERT_FALSE(over.has_value());
    EXPECT_EQ(over.error().message(), "The edited document is longer than 16777216 characters.");

    // Multi-byte characters count once each.
    std::string accented;
    for (std::size_t i = 0; i < app::kSourceFileEditLimit; ++i) accented += "\xC3\xA9";
    EXPECT_TRUE(session->set_source_override(MetadataType::ApexClass, "Foo", accented).has_value());
    auto too_long = session->set_source_override(MetadataType::ApexClass, "Foo", accented + "e");
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(too_long.error().message(), "The edited document is longer than 1000000 characters.");

    // A NUL anywhere is refused like an oversized body.
    for (const MetadataType type : {MetadataType::Flow, MetadataType::ApexClass}) {
        SCOPED_TRACE(std::string(type.wire_id()));
        auto nul = session->set_source_override(type, type == MetadataType::Flow ? "Big" : "Foo",
                                                std::string("<Flow>\0</Flow>", 14));
        ASSERT_FALSE(nul.has_value());
        EXPECT_TRUE(nul.error().get_if<SourceOverrideError::HoldsNul>() != nullptr);
    }
}

TEST(ComparisonSession, AFailedWriteKeepsThePreviousEditAndItsEntry) {
    WorkspaceFixture fixture;
    const auto session = make_session({apex_class("Foo")}, fixture.workspace());
    ASSERT_TRUE(session->set_source_override(MetadataType::ApexClass, "Foo", std::string("first")).has_value());
    const fs::path file = fixture.workspace()->edits() / "classes/Foo.cls";

    // A folder with content where the file should be cannot be replaced by a rename, even as root.
    fs::remove(file);
    fs::create_directories(file / "inside");
    auto failed = session->set_source_override(MetadataType::ApexClass, "Foo", std::string("second"));
    ASSERT_FALSE(failed.has_value());
    EXPECT_TRUE(failed.error().message().starts_with("Could not write the edited document: ")) << failed.error().message();
    EXPECT_EQ(session->source_override_path(key(MetadataType::ApexClass, "Foo")), file);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST(ComparisonSession, AFailedWriteLeavesThePreviousDocumentWhole) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    WorkspaceFixture fixture;
    const auto session = make_session({apex_class("Foo")}, fixture.workspace());
    ASSERT_TRUE(session->set_source_override(MetadataType::ApexClass, "Foo", std::string("first")).has_value());
    const fs::path folder = fixture.workspace()->edits() / "classes";
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    auto failed = session->set_source_override(MetadataType::ApexClass, "Foo", std::string("second"));
    fs::permissions(folder, fs::perms::owner_all);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), "Could not write the edited document: permission denied");
    EXPECT_EQ(read_file(folder / "Foo.cls"), "first");
    EXPECT_TRUE(session->source_override_path(key(MetadataType::ApexClass, "Foo")).has_value());
}

TEST(ComparisonSession, ALinkPlantedInTheEditsFolderIsNeverFollowed) {
    WorkspaceFixture fixture;
    testing::TempDir outside;
    fs::create_directory_symlink(outside.path(), fixture.workspace()->edits() / "classes");
    const auto session = make_session({apex_class("Foo")}, fixture.workspace());
    auto result = session->set_source_override(MetadataType::ApexClass, "Foo", std::string("body"));
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().message().starts_with("Could not create the edits directory: ")) << result.error().message();
    EXPECT_TRUE(fs::is_empty(outside.path()));
    EXPECT_FALSE(session->source_override_path(key(MetadataType::ApexClass, "Foo")));
}

TEST(ComparisonSession, CloseRemovesTheWorkspaceWithoutFollowingLinks) {
    WorkspaceFixture fixture;
    testing::TempDir outside;
    std::ofstream(outside.path() / "keep.txt") << "precious";
    fs::create_directory_symlink(outside.path(), fixture.workspace()->source_project() / "link");
    const fs::path root = fixture.workspace()->root();
    const auto session = make_session({apex_class("Foo")}, fixture.workspace());
    ASSERT_TRUE(session->set_source_override(MetadataType::ApexClass, "Foo", std::string("body")).has_value());

    ASSERT_TRUE(session->close().has_value());
    EXPECT_TRUE(session->is_closed());
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_EQ(read_file(outside.path() / "keep.txt"), "precious");
    EXPECT_TRUE(session->close().has_value());

    auto refused = session->set_source_override(MetadataType::ApexClass, "Nope", std::string("x"));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(), "The comparison session has been closed; the workspace has been removed.");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    // Queries still answer from memory.
    EXPECT_TRUE(session->ui_differences()[0].edited);
    EXPECT_TRUE(session->source_override_path(key(MetadataType::ApexClass, "Foo")).has_value());
}

TEST(ComparisonSession, AFailedCloseLeavesTheSessionOpenForAnotherTry) {
    int calls = 0;
    ComparisonSession::Parts parts;
    parts.source = org_endpoint("s");
    parts.target = org_endpoint("t");
    parts.closer = [&calls]() -> std::expected<void, app::WorkflowFailure> {
        if (++calls == 1) return std::unexpected(app::WorkflowFailure::operation("busy"));
        return {};
    };
    const auto session = ComparisonSession::from_parts(std::move(parts));
    auto first = session->close();
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().detail_text(), "busy");
    EXPECT_FALSE(session->is_closed());
    EXPECT_TRUE(session->close().has_value());
    EXPECT_TRUE(session->close().has_value());
    EXPECT_EQ(calls, 2);
}

TEST(ComparisonSession, ApplyingEdits) {
    WorkspaceFixture fixture;
    ComponentDifference empty_document = row(MetadataType::Flow, "Empty", ChangeKind::Add, true, "<Flow/>");
    const auto session = make_session({row(MetadataType::Flow, "F"), empty_document}, fixture.workspace());

    // Without edits the rows are not touched.
    std::vector<ComponentDifference> untouched = session->rows();
    ASSERT_TRUE(session->apply_source_overrides(untouched));
    EXPECT_EQ(untouched, session->rows());

    ASSERT_TRUE(session->set_source_override(MetadataType::Flow, "F", std::string("<Flow>new</Flow>")));
    ASSERT_TRUE(session->set_source_override(MetadataType::Flow, "Empty", std::string("<Flow>x</Flow>")));
    std::vector<ComponentDifference> rows = session->rows();
    rows[1].source.document.clear();
    auto applied = session->apply_source_overrides(rows);
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error().message(), "The edited component Empty carries no content to replace.");
    EXPECT_EQ(rows[0].source.document, "<Flow>new</Flow>");
    EXPECT_TRUE(rows[0].edited);

    // An edit file that vanished is reported with the row's name.
    fs::remove(fixture.workspace()->edits() / "flows/F.flow-meta.xml");
    std::vector<ComponentDifference> again = session->rows();
    auto unreadable = session->apply_source_overrides(again);
    ASSERT_FALSE(unreadable.has_value());
    EXPECT_TRUE(unreadable.error().message().starts_with("Could not read the edited document of F: "))
        << unreadable.error().message();
}

TEST(ComparisonSession, EditsReadsAndCloseFromSeveralThreads) {
    WorkspaceFixture fixture;
    std::vector<ComponentDifference> rows;
    for (int i = 0; i < 8; ++i) rows.push_back(apex_class("C" + std::to_string(i)));
    const fs::path root = fixture.workspace()->root();
    auto session = make_session(rows, fixture.workspace());
    std::atomic<bool> closed{false};
    std::atomic<int> after_close_writes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const bool saw_closed = closed.load();
                auto result = session->set_source_override(MetadataType::ApexClass, "C" + std::to_string((t + i) % 8),
                                                           "body " + std::to_string(i));
                if (saw_closed && result.has_value()) after_close_writes.fetch_add(1);
                if (!result) {
                    EXPECT_TRUE(result.error().get_if<SourceOverrideError::SessionClosed>() != nullptr)
                        << result.error().message();
                }
                (void)session->ui_differences();
                (void)session->source_override_path(key(MetadataType::ApexClass, "C1"));
            }
        });
    }
    threads.emplace_back([&] {
        std::this_thread::yield();
        EXPECT_TRUE(session->close().has_value());
        closed.store(true);
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(after_close_writes.load(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    session.reset();
}

TEST(ComparisonSession, ARecordDataRowIsAProgrammingError) {
    EXPECT_THROW(make_session({row(MetadataType::DataRecord(0), "Row")}), ::ambrel::support::ProgrammingError);
}

}  // namespace
}  // namespace ambrel::app_tests

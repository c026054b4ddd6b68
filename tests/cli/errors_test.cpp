#include <gtest/gtest.h>

#include "cli/catalog_error.hpp"
#include "cli/cli_error.hpp"
#include "cli/rest_paths.hpp"

namespace ambrel::cli {
namespace {

TEST(CliError, DisplayTexts) {
    EXPECT_EQ(CliError(CliError::NoJson{"", "", 1, false}).message(),
              "Salesforce CLI returned no JSON (exit code 1, timed out: false)");
    EXPECT_EQ(CliError(CliError::NoJson{"", "", -1, true}).message(),
              "Salesforce CLI returned no JSON (exit code -1, timed out: true)");
    EXPECT_EQ(CliError(CliError::MalformedJson{3, 4, "x", "", 0, false}).message(),
              "Salesforce CLI returned malformed JSON (exit code 0, timed out: false)");
    EXPECT_EQ(CliError::cancelled(kCommandCancelled).message(), "Salesforce CLI command was cancelled");
    const auto not_started = CliError::could_not_start(std::make_error_code(std::errc::no_such_file_or_directory));
    EXPECT_EQ(not_started.message(), "Could not start Salesforce CLI process: No such file or directory");
    EXPECT_FALSE(not_started.is_cancelled());
    EXPECT_TRUE(CliError::cancelled(kProcessCancelledBeforeStart).is_cancelled());
}

TEST(CliError, RunnerFailuresReadAsCliSentences) {
    using process::ProcessError;
    const std::error_code missing = std::make_error_code(std::errc::no_such_file_or_directory);
    const struct {
        ProcessError error;
        std::string text;
        bool cancelled;
    } cases[] = {
        {{ProcessError::Kind::CancelledBeforeStart, {}}, "Salesforce CLI process was cancelled before start", true},
        {{ProcessError::Kind::Cancelled, {}}, "Salesforce CLI process was cancelled", true},
        {{ProcessError::Kind::StartFailed, missing}, "Could not start Salesforce CLI process: No such file or directory",
         false},
        {{ProcessError::Kind::ReadFailed, missing}, "Could not read Salesforce CLI process output", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const CliError error = CliError::from_process(c.error);
        EXPECT_EQ(error.message(), c.text);
        EXPECT_EQ(error.is_cancelled(), c.cancelled);
    }
}

TEST(CatalogError, ShowsAWrappedCliErrorAsItselfAndTellsCancellationApart) {
    const CatalogError wrapped = CliError::cancelled(kCommandCancelled);
    EXPECT_EQ(wrapped.message(), "Salesforce CLI command was cancelled");
    EXPECT_TRUE(wrapped.is_cancelled());

    const CatalogError message = CatalogError::Message{"Salesforce CLI org catalog command failed."};
    EXPECT_EQ(message.message(), "Salesforce CLI org catalog command failed.");
    EXPECT_FALSE(message.is_cancelled());

    // A prerequisite failure caused by a cancellation is still a prerequisite failure.
    const CatalogError prerequisite = CatalogError::prerequisite("Salesforce CLI version check failed.",
                                                                 CliError::cancelled(kCommandCancelled));
    EXPECT_EQ(prerequisite.message(), "Salesforce CLI version check failed.");
    EXPECT_FALSE(prerequisite.is_cancelled());
}

TEST(RestIds, RecordIdsAndSalesforceIds) {
    struct Case {
        std::string_view text;
        bool valid;
        bool salesforce;
    };
    const Case cases[] = {
        {"001000000000001", true, true},
        {"001000000000001AAA", true, true},
        {"abcdefghijklmnopqr", true, false},   // 18 letters: a word, not hidden
        {"abcdefghijklmnopq1", true, true},
        {"00100000000000-", false, false},     // 15 with a hyphen
        {"0010000000000011", false, false},    // 16 characters
        {"", false, false},
        {"001000000000001\xC3\xA9", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(rest::is_valid_record_id(c.text), c.valid);
        EXPECT_EQ(rest::is_salesforce_id(c.text), c.salesforce);
    }
}

TEST(RestPaths, HidesIdSegmentsAndCountsTheIdsParameter) {
    struct Case {
        std::string_view path;
        std::string_view shown;
    };
    const Case cases[] = {
        {"/services/data/v65.0/composite/sobjects?ids=a,b,,c&allOrNone=false",
         "/services/data/v65.0/composite/sobjects?ids=<3 ids>&allOrNone=false"},
        {"/services/data/v65.0/sobjects/ExpressionSetDefinitionVersion/9QM000000000001AAA/ConstraintModel",
         "/services/data/v65.0/sobjects/ExpressionSetDefinitionVersion/<id>/ConstraintModel"},
        {"/services/data/v65.0/sobjects/Thing/abcdefghijklmnopqr", "/services/data/v65.0/sobjects/Thing/abcdefghijklmnopqr"},
        {"/x?ids", "/x?ids"},
        {"/x?ids=", "/x?ids=<0 ids>"},
        {"/x?idsx=1&ids=a=b", "/x?idsx=1&ids=<1 ids>"},
        {"/x/", "/x/"},
        {"//", "//"},
        {"/x?", "/x?"},
    };
    for (const auto& c : cases) EXPECT_EQ(rest::redacted_path(c.path), c.shown) << c.path;
    EXPECT_EQ(rest::redacted_query("ids=a,b&x=1"), "ids=<2 ids>&x=1");
}

}  // namespace
}  // namespace ambrel::cli

#include <gtest/gtest.h>

#include "data/bundles/synthesis/query_text.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::synthesis {
namespace {

json::Value parsed(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value.value_or(json::Value{});
}

TEST(ParseCompositeOutcomes, RefusesAnswersThatAreNotOneObjectPerRecord) {
    struct Case {
        std::string body;
        std::size_t expected;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {R"({"message":"boom"})", 1, "the response body is not an array of per-record outcomes"},
        {"[]", 1, "the response carries 0 outcomes for 1 records"},
        {R"([{"success":true},{"success":true}])", 1, "the response carries 2 outcomes for 1 records"},
        {R"([{"success":true,"id":"a"},5])", 2, "a per-record outcome is not an object"},
        {"null", 0, "the response body is not an array of per-record outcomes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto result = parse_composite_outcomes(parsed(c.body), c.expected);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.reason);
    }
}

TEST(ParseCompositeOutcomes, EmptyArrayForNoRecordsIsEmpty) {
    const auto result = parse_composite_outcomes(parsed("[]"), 0);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->empty());
}

TEST(ParseCompositeOutcomes, ReadsEachMemberByItsKind) {
    const auto result = parse_composite_outcomes(
        parsed(R"([{"id":null,"success":false,"errors":[{"statusCode":"DUPLICATE_VALUE","message":"dup",
                   "fields":["Name",3]}]},
                   {"id":"01t000000000001AAA","success":"true"},
                   {"id":7,"success":true,"errors":["text",{"statusCode":1,"message":null}],"extra":1}])"),
        3);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 3U);
    const auto& first = (*result)[0];
    EXPECT_FALSE(first.id.has_value());
    EXPECT_FALSE(first.success);
    ASSERT_EQ(first.errors.size(), 1U);
    EXPECT_EQ(first.errors[0], (CompositeError{"DUPLICATE_VALUE", "dup", {"Name"}}));
    const auto& second = (*result)[1];
    EXPECT_EQ(second.id, "01t000000000001AAA");
    EXPECT_FALSE(second.success);
    EXPECT_TRUE(second.errors.empty());
    const auto& third = (*result)[2];
    EXPECT_FALSE(third.id.has_value());
    EXPECT_TRUE(third.success);
    ASSERT_EQ(third.errors.size(), 2U);
    EXPECT_EQ(third.errors[0], CompositeError{});
    EXPECT_EQ(third.errors[1], CompositeError{});
}

TEST(ChannelErrorTest, AbsentMessageMeansCancelled) {
    EXPECT_TRUE(ChannelError::cancelled().is_cancelled());
    EXPECT_FALSE(ChannelError::failure("").is_cancelled());
    EXPECT_EQ(ChannelError::failure("x").message, "x");
}

TEST(SoqlQuote, EscapesBackslashesBeforeQuotes) {
    struct Case {
        std::string value;
        std::string quoted;
    };
    const std::vector<Case> cases = {
        {"O'Brien", R"(O\'Brien)"},
        {R"(a\b)", R"(a\\b)"},
        {R"(\')", R"(\\\')"},
        {"", ""},
        {"\"100%_\n\"", "\"100%_\n\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(soql_quote(c.value), c.quoted);
    }
}

TEST(IdList, QuotesAndJoins) {
    const std::vector<std::string> two = {"a", "b'c"};
    EXPECT_EQ(id_list(two), R"('a', 'b\'c')");
    const std::vector<std::string> one = {"x"};
    EXPECT_EQ(id_list(one), "'x'");
    EXPECT_EQ(id_list({}), "");
}

TEST(SelectList, UsesTheFirstPlanOfTheExactObject) {
    using document::ObjectFieldPlan;
    const std::vector<ObjectFieldPlan> plans = {
        {"Product2", {"Description", "Family"}, {}, {}},
        {"Product2", {"Other"}, {}, {}},
        {"product2x", {"Nope"}, {}, {}},
    };
    const std::vector<std::string> extra = {"BasedOn.Code"};
    EXPECT_EQ(select_list(plans, "Product2", extra), "Id, Description, Family, BasedOn.Code");
    EXPECT_EQ(select_list(plans, "product2", extra), "Id, BasedOn.Code");
    EXPECT_EQ(select_list(plans, "Nothing", {}), "Id");
}

}  // namespace
}  // namespace ambrel::data::bundles::synthesis

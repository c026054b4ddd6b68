// The product-bundle road end to end: two orgs at API 67.0, the bundles listed at the source, compared
// from record documents synthesized out of both orgs' query answers, then transferred as records.
// The orgs' answers are the golden pair of tests/fixtures/bundle_orgs, put into the CLI's answer
// forms ("data query --json" envelopes, "sobject describe --json" documents built on a captured one).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include <fmt/format.h>

#include "e2e/harness.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

namespace fake = ambrel::testing::fake_sf;
namespace bj = boost::json;

const std::filesystem::path kFixtures = tests_dir() / "fixtures" / "e2e" / "e3";
const std::filesystem::path kOrgs = tests_dir() / "fixtures" / "bundle_orgs";

constexpr std::string_view kSourceAlias = "src";
constexpr std::string_view kTargetAlias = "tgt";
constexpr std::string_view kSourceUser = "src.admin@bundles.standin";
constexpr std::string_view kTargetUser = "tgt.admin@bundles.standin";

constexpr std::string_view kBundleListing = "SELECT Id, Name FROM Product2 WHERE Type = 'Bundle' ORDER BY Name";
constexpr std::string_view kOrganization = "SELECT OrganizationType, IsSandbox FROM Organization LIMIT 1";
constexpr std::string_view kConstraintModels =
    "SELECT Id, Name, ApiName, ExpressionSetDefinition.NamespacePrefix FROM ExpressionSet WHERE UsageType = "
    "'Constraint' ORDER BY ApiName";

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bj::object read_object(const std::filesystem::path& file) { return bj::parse(read_text(file)).as_object(); }

// A "data query --json" answer holding these records.
std::string query_answer(const bj::array& records) {
    return bj::serialize(bj::object{
        {"status", 0},
        {"result", bj::object{{"records", records}, {"totalSize", records.size()}, {"done", true}}},
        {"warnings", bj::array{}}});
}

// A "sobject describe --json" answer for `object` with these fields besides the record id, built on a
// captured describe: every field a createable, updateable text like the captured record id's entry.
std::string describe_answer(std::string_view object, const bj::array& fields) {
    bj::object document = read_object(kFixtures / "describe_property.out");
    auto& result = document.at("result").as_object();
    bj::object id_field;
    for (const auto& field : result.at("fields").as_array()) {
        if (field.as_object().at("name").as_string() == "Id") id_field = field.as_object();
    }
    bj::array described{id_field};
    for (const auto& name : fields) {
        bj::object field = id_field;
        field["name"] = name;
        field["label"] = name;
        field["type"] = "string";
        field["createable"] = true;
        field["updateable"] = true;
        field["idLookup"] = false;
        described.push_back(std::move(field));
    }
    result["name"] = object;
    result["fields"] = std::move(described);
    return bj::serialize(document);
}

// The answers of one org of the golden pair, asked by its username. The source lists only its
// packaged constraint model, so no model is drawn into the comparison.
void answer_org(fake::Scenario& scenario, std::string_view file, std::string_view username) {
    const bj::object org = read_object(kOrgs / file);
    const bool source = org.at("alias").as_string() == kSourceAlias;
    for (const auto& [object, fields] : org.at("describes").as_object()) {
        scenario.on_prefix({"sobject", "describe", "--sobject", std::string(object), "--target-org", std::string(username)},
                           fake::Answer().out(describe_answer(object, fields.as_array())));
    }
    for (const auto& element : org.at("calls").as_array()) {
        const bj::object& call = element.as_object();
        if (call.at("operation").as_string() != "query") continue;
        const std::string soql(call.at("soql").as_string());
        bj::array records;
        for (const auto& record : call.at("records").as_array()) {
            const auto* definition = record.as_object().if_contains("ExpressionSetDefinition");
            if (source && soql == kConstraintModels && definition != nullptr &&
                definition->as_object().at("NamespacePrefix").is_null()) {
                continue;
            }
            records.push_back(record);
        }
        scenario.on_prefix({"data", "query", "--query", soql, "--target-org", std::string(username)},
                           fake::Answer().out(query_answer(records)));
    }
}

// The answers of the target health check and of the record transfer: the keyed reads of both orgs,
// and every composite request succeeding for each of its records.
void answer_transfer(fake::Scenario& scenario) {
    const bj::value answers = bj::parse(read_text(kFixtures / "transfer_answers.json"));
    for (const auto& element : answers.as_array()) {
        const bj::object& answer = element.as_object();
        scenario.on_prefix({"data", "query", "--query", std::string(answer.at("soql").as_string()), "--target-org",
                            std::string(answer.at("org").as_string())},
                           fake::Answer().out(query_answer(answer.at("records").as_array())));
    }
    for (const std::string method : {"POST", "PATCH"}) {
        scenario.on_prefix({"api", "request", "rest", "/services/data/v67.0/composite/sobjects", "--method", method},
                           fake::Answer().composite_outcomes());
    }
}

// The answers of the compare, and with `transfer` those of the deploy as well.
fake::Scenario bundle_scenario(bool transfer) {
    fake::Scenario scenario;
    if (transfer) answer_transfer(scenario);
    scenario.orgs({std::string(kSourceAlias), std::string(kTargetAlias), std::string(kSourceUser),
                   std::string(kTargetUser)})
        .on_exact({"version", "--json"}, fake::Answer::capture("version"))
        .on_prefix({"org", "list"}, fake::Answer().out_file(kFixtures / "orglist.out"))
        .on_prefix({"data", "query", "--query", std::string(kObjectListingQuery)},
                   fake::Answer().out_file(kFixtures / "entitydef.out"))
        .on_prefix({"data", "query", "--query", std::string(kOrganization)},
                   fake::Answer().out_file(kFixtures / "organization.out"))
        .on_prefix({"data", "query", "--query", std::string(kBundleListing), "--target-org", std::string(kSourceAlias)},
                   fake::Answer().out(query_answer(bj::array{
                       bj::object{{"attributes", {{"type", "Product2"}, {"url", "/services/data/v67.0/sobjects/Product2/01ts0002"}}},
                                  {"Id", "01ts0002"},
                                  {"Name", "Dock Bundle"}},
                       bj::object{{"attributes", {{"type", "Product2"}, {"url", "/services/data/v67.0/sobjects/Product2/01ts0001"}}},
                                  {"Id", "01ts0001"},
                                  {"Name", "Laptop Kit"}}})));
    answer_org(scenario, "source.json", kSourceUser);
    answer_org(scenario, "target.json", kTargetUser);
    // The external-key check of the record objects: neither org has external-id fields there.
    scenario.on_prefix({"data", "query", "--query", std::string(kRevenueCloudFieldQuery)},
                       fake::Answer().out(query_answer({})));
    // A call without a rule is a failure that names itself.
    scenario.otherwise(unanswered_call());
    return scenario;
}

bj::array compare_steps() {
    return bj::array{
        bj::object{{"request", "workflow/loadOrgs"}, {"until", bj::array{"selecting"}}},
        bj::object{{"request", "workflow/selectSource"},
                   {"params", {{"endpoint", {{"kind", "org"}, {"alias", kSourceAlias}}}}},
                   {"until", bj::array{"selecting"}}},
        bj::object{{"request", "workflow/selectTarget"},
                   {"params", {{"endpoint", {{"kind", "org"}, {"alias", kTargetAlias}}}}},
                   {"until", bj::array{"selecting"}}},
        bj::object{{"request", "workflow/selectMetadataType"},
                   {"params", {{"metadataType", "ProductBundle"}, {"currentSelection", bj::array{}}}},
                   {"until", bj::array{"selecting"}}},
        bj::object{{"request", "workflow/compare"},
                   {"params", {{"currentSelection", bj::array{"Dock Bundle", "Laptop Kit"}}}},
                   {"until", bj::array{"reviewing"}}},
    };
}

// The entries left in {workspaceRoot}/quillary, by name.
std::set<std::string> quillary_entries(const std::filesystem::path& root) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root / "workspace" / "quillary")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string text_or_none(const bj::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    return value != nullptr && value->is_string() ? std::string(value->as_string()) : std::string("<none>");
}

// Loads the orgs, lists the source's bundles, and compares both: the record documents synthesized from
// the two orgs differ for both bundles, which the review shows as record updates, the nested bundle
// as a dependency of the kit. Every org read goes to the username of its side.
TEST(BundleRoad, ComparingBundlesBetweenTwoOrgsShowsTheRecordUpdates) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(bundle_scenario(false));
    const auto session = run_session(root.path(), {{"steps", compare_steps()}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;

    // The listing at the source offers both bundles.
    bool listed = false;
    for (const auto& state : session.states()) {
        if (text_or_none(state, "kind") != "selecting" || text_or_none(state, "currentType") != "ProductBundle") continue;
        const auto* components = state.if_contains("components");
        if (components == nullptr || !components->is_array()) continue;
        std::vector<std::string> names;
        for (const auto& component : components->as_array()) names.push_back(text_or_none(component.as_object(), "apiName"));
        listed = names == std::vector<std::string>{"Dock Bundle", "Laptop Kit"};
    }
    EXPECT_TRUE(listed) << session.out;

    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << session.out;
    EXPECT_EQ(text_or_none(*reviewing, "errorMessage"), "<none>") << bj::serialize(*reviewing);
    EXPECT_TRUE(reviewing->at("dependencyWarnings").as_array().empty()) << bj::serialize(*reviewing);
    const auto& rows = reviewing->at("differences").as_array();
    ASSERT_EQ(rows.size(), 2u) << bj::serialize(*reviewing);
    struct Expected {
        std::string name;
        bj::array dependencies;
    };
    const std::vector<Expected> expected = {
        {"Dock Bundle", bj::array{}},
        {"Laptop Kit", bj::array{bj::object{{"metadataType", "ProductBundle"}, {"name", "Dock Bundle"}}}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        const bj::object& row = rows[i].as_object();
        EXPECT_EQ(text_or_none(row, "metadataType"), "ProductBundle");
        EXPECT_EQ(text_or_none(row, "name"), expected[i].name);
        EXPECT_EQ(text_or_none(row, "change"), "UPDATE");
        EXPECT_EQ(text_or_none(row, "metadataDeploy"), "RECORDS");
        EXPECT_EQ(text_or_none(row, "summary"), "Definition changed");
        EXPECT_EQ(row.at("canDeploy"), bj::value(true));
        EXPECT_EQ(row.at("canDeployMetadata"), bj::value(false));
        EXPECT_EQ(text_or_none(row, "blockReason"), "<none>");
        EXPECT_EQ(row.at("dependencies"), bj::value(expected[i].dependencies));
    }

    // The record reads went to the usernames, never to the aliases; nothing was written to an org.
    const auto calls = sf.calls();
    std::set<std::string> record_orgs;
    for (const auto& call : calls) {
        EXPECT_NE(call.args.front(), "api") << call.args.front();
        EXPECT_NE(call.args.front(), "project") << call.args.front();
        const bool record_read =
            (call.args.size() > 3 && call.args[0] == "sobject") ||
            (call.args.size() > 3 && call.args[0] == "data" && call.args[3].find("FROM Product") != std::string::npos &&
             call.args[3] != kBundleListing);
        if (!record_read) continue;
        const auto org = std::find(call.args.begin(), call.args.end(), "--target-org");
        ASSERT_NE(org, call.args.end());
        record_orgs.insert(*(org + 1));
    }
    EXPECT_EQ(record_orgs, (std::set<std::string>{std::string(kSourceUser), std::string(kTargetUser)}));
    EXPECT_EQ(quillary_entries(root.path()), std::set<std::string>{"logs"});
}

// The id the fake gives the record at `index` of the composite create run by process `pid`.
std::string created_id(std::int64_t pid, int index) { return fmt::format("a0N{:010}{:05}", pid, index); }

// Deploys both bundle rows after the compare: the target check finds nothing to fix, and the record
// transfer creates what the target lacks and updates the one price that differs, layer by layer, each
// later request referring to the ids the earlier ones created. Nothing metadata is deployed.
TEST(BundleRoad, DeployingTheBundlesTransfersTheirRecordsThroughCompositeRequests) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(bundle_scenario(true));
    bj::array steps = compare_steps();
    steps.push_back(bj::object{{"request", "workflow/deploy"},
                               {"params", {{"selected", "$deployable"}, {"flsMode", "NONE"}}},
                               {"until", bj::array{"results"}}});
    const auto session = run_session(root.path(), {{"steps", steps}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;

    // The REST calls: the composite requests in layer order, with the bodies the target needs.
    std::vector<fake::RecordedCall> rest;
    for (const auto& call : sf.calls()) {
        EXPECT_NE(call.args.front(), "project") << call.args.front();
        if (call.args.front() == "api") rest.push_back(call);
    }
    ASSERT_EQ(rest.size(), 6u) << session.out;
    const auto id = [&rest](std::size_t call, int index) { return created_id(rest.at(call).pid, index); };
    struct Expected {
        std::string method;
        std::string body;
    };
    const std::vector<Expected> expected = {
        {"POST",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"ProductClassification"},"Code":"ACC",)"
         R"("Name":"Accessories","ParentProductClassificationId":"0ZCt1"}]})"},
        {"POST",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"ProductComponentGroup"},"Name":"Extras",)"
         R"("Sequence":"2","ParentProductId":"01tt0005","ParentGroupId":"0y5t1"}]})"},
        {"POST",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"ProductRelatedComponent"},)"
         R"("IsComponentRequired":"false","Quantity":"3","ParentProductId":"01tt0003",)"
         R"("ChildProductClassificationId":")" + id(0, 0) + R"("},)"
         R"({"attributes":{"type":"ProductRelatedComponent"},"IsComponentRequired":"false","Quantity":"2.5",)"
         R"("ParentProductId":"01tt0005","ChildProductId":"01tt0009","ProductComponentGroupId":")" + id(1, 0) +
             R"(","ProductRelationshipTypeId":"0yRt2","ParentSellingModelId":"0jPt1","ChildSellingModelId":"0jPt1"}]})"},
        {"POST",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"ProductSellingModelOption"},"IsDefault":"false",)"
         R"("Product2Id":"01tt0009","ProductSellingModelId":"0jPt1"}]})"},
        {"POST",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"PricebookEntry"},"IsActive":"false",)"
         R"("UnitPrice":"249","Product2Id":"01tt0003","Pricebook2Id":"01st1"},)"
         R"({"attributes":{"type":"PricebookEntry"},"CurrencyIsoCode":"EUR","IsActive":"true","UnitPrice":"1199",)"
         R"("Product2Id":"01tt0005","Pricebook2Id":"01st1","ProductSellingModelId":"0jPt1"}]})"},
        {"PATCH",
         R"({"allOrNone":false,"records":[{"attributes":{"type":"PricebookEntry"},"id":"01ut1","UnitPrice":"1299.5"}]})"},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& args = rest[i].args;
        ASSERT_EQ(args.size(), 11u);
        EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 7),
                  (std::vector<std::string>{"api", "request", "rest", "/services/data/v67.0/composite/sobjects",
                                            "--method", expected[i].method, "--body"}));
        EXPECT_EQ(std::vector<std::string>(args.begin() + 8, args.end()),
                  (std::vector<std::string>{"--include", "--target-org", std::string(kTargetUser)}));
        ASSERT_TRUE(rest[i].body_file_content.has_value() && rest[i].body_file_content->has_value());
        EXPECT_EQ(**rest[i].body_file_content, expected[i].body);
        // The body's folder is gone once the call is over.
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(args[7].substr(1)).parent_path())) << args[7];
    }

    // The results screen: both rows transferred, each with what it changed.
    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& rows = results->at("summary").at("fieldResults").as_array();
    ASSERT_EQ(rows.size(), 2u) << bj::serialize(*results);
    constexpr std::string_view kCommonTail =
        " \u00b7 REST calls in this transfer: 6 \u00b7 keys not stamped: QuillaryExternalId__c is absent on "
        "ProductClassification, Product2, ProductComponentGroup, ProductRelatedComponent, PricebookEntry \u00b7 "
        "fields left out: Product2.Family, PricebookEntry.UseStandardPrice";
    const std::vector<std::pair<std::string, std::string>> messages = {
        {"Dock Bundle",
         "ProductClassification: 1 created, 1 unchanged \u00b7 Product2: 2 unchanged \u00b7 ProductRelatedComponent: 1 "
         "created, 1 unchanged \u00b7 ProductSellingModelOption: 1 created \u00b7 PricebookEntry: 1 created, 1 "
         "unchanged" + std::string(kCommonTail)},
        {"Laptop Kit",
         "ProductClassification: 1 created, 1 unchanged \u00b7 Product2: 3 unchanged \u00b7 ProductComponentGroup: 1 "
         "created, 1 unchanged \u00b7 ProductRelatedComponent: 1 created, 1 unchanged \u00b7 ProductSellingModelOption: "
         "1 created, 1 unchanged \u00b7 PricebookEntry: 2 created, 1 updated, 1 unchanged" + std::string(kCommonTail) +
             " \u00b7 child bundles transferred as plain products: Dock Bundle"},
    };
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(messages[i].first);
        const bj::object& row = rows[i].as_object();
        EXPECT_EQ(text_or_none(row, "metadataType"), "ProductBundle");
        EXPECT_EQ(text_or_none(row, "name"), messages[i].first);
        EXPECT_EQ(text_or_none(row, "operation"), "UPDATE");
        EXPECT_EQ(text_or_none(row, "status"), "SUCCEEDED");
        EXPECT_EQ(text_or_none(row, "message"), messages[i].second);
    }
    EXPECT_EQ(text_or_none(results->at("summary").as_object(), "deployMode"), "BEST_EFFORT");
    EXPECT_EQ(quillary_entries(root.path()), std::set<std::string>{"logs"});
}

}  // namespace
}  // namespace ambrel::testing::e2e

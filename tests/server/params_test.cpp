#include "dispatch/params.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "git/repo_path.hpp"

namespace ambrel::dispatch {
namespace {

using metadata_types::MetadataType;

json::Value params_of(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed) throw std::runtime_error("bad test JSON: " + std::string(text));
    return *parsed;
}

// The error sentence of a refused parse, or "ok".
template <class T>
std::string outcome(const ParamResult<T>& result) {
    if (result) return "ok";
    EXPECT_EQ(result.error().code, protocol::kInvalidParams);
    EXPECT_FALSE(result.error().data.has_value());
    return result.error().message;
}

struct ErrorCase {
    std::string name;
    std::function<std::string(const json::Value&)> parse;
    std::string params;
    std::string expected;
};

template <class F>
std::function<std::string(const json::Value&)> via(F parser) {
    return [parser](const json::Value& params) { return outcome(parser(params)); };
}

TEST(RequestParameters, RefuseMalformedInputWithTheParameterSentence) {
    const auto path = via([](const json::Value& p) { return string_param(p, "path"); });
    const auto selection = via(string_set_param);
    const auto tests = via(parse_test_names);
    const auto fls = via(parse_fls_mode);
    const auto deploy_mode = via(parse_optional_deploy_mode);
    const auto keys = via(parse_component_keys);
    const auto containers = via(parse_container_pairs);
    const auto confirm_tests = via(parse_confirm_tests);
    const auto source = via(parse_component_source);
    const auto endpoint = via(parse_endpoint_param);
    const auto export_session = via(parse_export_session);
    const auto export_manifest = via(parse_export_manifest);
    const auto health = via(parse_confirm_target_health);
    const auto selectable = via(parse_selectable_metadata_type);
    const auto layout = via(parse_layout_mode);
    const auto flag = via([](const json::Value& p) { return parse_flag(p, "allowBestEffortOnProduction"); });
    const auto level = via(parse_log_level);
    const auto side = via(parse_side);
    const auto body = via(parse_body);

    const std::string kSelectionArray = "Parameter 'currentSelection' must be an array of strings.";
    const std::string kKeys = "Parameter 'selected' must be an array of component keys.";
    const std::string kEntry = "Each 'selected' entry must have a known 'metadataType' and a 'name' string.";
    const std::string kFindings = "Parameter 'findings' must be a non-empty array of non-negative integers.";
    const std::string kDeployMode(kDeployModeMessage);
    const std::vector<ErrorCase> cases = {
        {"path missing", path, "{}", "Parameter 'path' must be a string."},
        {"path a number", path, R"({"path":3})", "Parameter 'path' must be a string."},
        {"params not an object", path, R"([1])", "Parameter 'path' must be a string."},
        {"empty path is a text", path, R"({"path":""})", "ok"},
        {"selection a single text", selection, R"({"currentSelection":"a"})", kSelectionArray},
        {"selection missing", selection, "{}", kSelectionArray},
        {"selection with a number", selection, R"({"currentSelection":["a",1]})",
         "Parameter 'currentSelection' must contain only strings."},
        {"empty selection", selection, R"({"currentSelection":[]})", "ok"},
        {"tests not an array", tests, R"({"tests":{}})", "Parameter 'tests' must be an array of strings."},
        {"tests with null", tests, R"({"tests":[null]})", "Parameter 'tests' must contain only strings."},
        {"fls lower case", fls, R"({"flsMode":"additive"})", "Parameter 'flsMode' must be one of NONE, ADDITIVE, ALL."},
        {"fls missing", fls, "{}", "Parameter 'flsMode' must be one of NONE, ADDITIVE, ALL."},
        {"deploy mode FAST", deploy_mode, R"({"deployMode":"FAST"})", kDeployMode},
        {"deploy mode a number", deploy_mode, R"({"deployMode":3})", kDeployMode},
        {"deploy mode an object", deploy_mode, R"({"deployMode":{}})", kDeployMode},
        {"deploy mode null", deploy_mode, R"({"deployMode":null})", "ok"},
        {"deploy mode missing", deploy_mode, "{}", "ok"},
        {"selected not an array", keys, R"({"selected":{}})", kKeys},
        {"selected unknown type", keys, R"({"selected":[{"metadataType":"Nope","name":"a"}]})", kEntry},
        {"selected without name", keys, R"({"selected":[{"metadataType":"ApexClass"}]})", kEntry},
        {"selected entry not an object", keys, R"({"selected":["ApexClass"]})", kEntry},
        {"containers missing", containers, "{}", "Parameter 'containers' must be an array."},
        {"container kind lower case", containers, R"({"containers":[{"kind":"profile","apiName":"A"}]})",
         "Each container 'kind' must be PERMISSION_SET or PROFILE."},
        {"container without api name", containers, R"({"containers":[{"kind":"PROFILE"}]})",
         "Each container must have an 'apiName' string."},
        {"container kind checked before api name", containers, R"({"containers":[{"kind":1}]})",
         "Each container 'kind' must be PERMISSION_SET or PROFILE."},
        {"session id as 3.0", confirm_tests, R"({"sessionId":3.0,"tests":[]})", "Parameter 'sessionId' must be a number."},
        {"session id as text", confirm_tests, R"({"sessionId":"3","tests":[]})", "Parameter 'sessionId' must be a number."},
        {"session id negative", confirm_tests, R"({"sessionId":-1,"tests":[]})", "Parameter 'sessionId' must be a number."},
        {"confirm tests bad mode", confirm_tests, R"({"sessionId":1,"tests":[],"deployMode":"X"})", kDeployMode},
        {"source unknown type", source, R"({"sessionId":1,"metadataType":"X","name":"a"})",
         "Parameter 'metadataType' must be a known metadata type id."},
        {"source without name", source, R"({"sessionId":1,"metadataType":"ApexClass"})",
         "Parameter 'name' must be a string."},
        {"endpoint missing", endpoint, "{}", "Parameter 'endpoint' must be an object."},
        {"endpoint not an object", endpoint, R"({"endpoint":3})", "Parameter 'endpoint.kind' must be org, git or github."},
        {"endpoint unknown kind", endpoint, R"({"endpoint":{"kind":"svn"}})",
         "Parameter 'endpoint.kind' must be org, git or github."},
        {"github endpoint", endpoint, R"({"endpoint":{"kind":"github"}})", "GitHub endpoints are not yet supported."},
        {"org with empty alias", endpoint, R"({"endpoint":{"kind":"org","alias":""}})",
         "An org endpoint must carry a non-empty 'alias'."},
        {"git without path", endpoint, R"({"endpoint":{"kind":"git","branch":{"name":"main"}}})",
         "A git endpoint must carry a non-empty 'path'."},
        {"git without branch", endpoint, R"({"endpoint":{"kind":"git","path":"/r"}})",
         "A git endpoint must carry a 'branch' object."},
        {"git branch not an object", endpoint, R"({"endpoint":{"kind":"git","path":"/r","branch":"main"}})",
         "A git branch must carry a non-empty 'name'."},
        {"git branch of unknown kind", endpoint,
         R"({"endpoint":{"kind":"git","path":"/r","branch":{"name":"main","kind":"tag"}}})",
         "A git branch 'kind' must be local or remote."},
        {"export with selected but null fls mode", export_session,
         R"({"path":"p","selected":[],"flsMode":null})",
         "Parameters 'selected' and 'flsMode' must be sent together or not at all."},
        {"export only fls mode", export_session, R"({"path":"p","flsMode":"ALL"})",
         "Parameters 'selected' and 'flsMode' must be sent together or not at all."},
        {"export without path", export_session, "{}", "Parameter 'path' must be a string."},
        {"export bad tests", export_session, R"({"path":"p","tests":"T"})", "Parameter 'tests' must be an array of strings."},
        {"manifest export needs a selection", export_manifest, R"({"path":"p"})", kSelectionArray},
        {"health without action", health, "{}", "Parameter 'action' must be one of fix, recheck, deploy."},
        {"health action upper case", health, R"({"action":"FIX"})", "Parameter 'action' must be one of fix, recheck, deploy."},
        {"fix without findings", health, R"({"action":"fix"})", kFindings},
        {"fix with empty findings", health, R"({"action":"fix","findings":[]})", kFindings},
        {"fix with a negative finding", health, R"({"action":"fix","findings":[1,-2]})", kFindings},
        {"fix with a fraction", health, R"({"action":"fix","findings":[1.0]})", kFindings},
        {"recheck ignores findings", health, R"({"action":"recheck","findings":"x"})", "ok"},
        {"custom object is not selectable", selectable, R"({"metadataType":"CustomObject"})",
         "Parameter 'metadataType' must be a selectable metadata type id."},
        {"layout mode a number", layout, R"({"layoutMode":1})", "Parameter 'layoutMode' must be one of whole, elements."},
        {"layout mode null", layout, R"({"layoutMode":null})", "ok"},
        {"flag as text", flag, R"({"allowBestEffortOnProduction":"true"})",
         "Parameter 'allowBestEffortOnProduction' must be a boolean."},
        {"level unknown", level, R"({"level":"verbose"})", "Parameter 'level' must be one of off, standard, detailed."},
        {"side unknown", side, R"({"side":"both"})", "Parameter 'side' must be source or target."},
        {"body missing", body, "{}", "Parameter 'body' must be a string or null."},
        {"body a number", body, R"({"body":1})", "Parameter 'body' must be a string or null."},
        {"body null", body, R"({"body":null})", "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.parse(params_of(c.params)), c.expected);
    }
}

TEST(RequestParameters, SetsAreOrderedAndListsKeepDuplicates) {
    EXPECT_EQ(*string_set_param(params_of(R"({"currentSelection":["b","a","b"]})")), (StringSet{"a", "b"}));
    EXPECT_EQ(*parse_test_names(params_of(R"({"tests":["T1","T1"]})")), (std::vector<std::string>{"T1", "T1"}));
    const auto keys = *parse_component_keys(params_of(
        R"({"selected":[{"metadataType":"Flow","name":"b"},{"metadataType":"Flow","name":"b","x":1},{"metadataType":"CustomField","name":"A.c"}]})"));
    EXPECT_EQ(keys, (KeySet{{MetadataType::CustomField, "A.c"}, {MetadataType::Flow, "b"}}));
    const auto containers = *parse_container_pairs(
        params_of(R"({"containers":[{"kind":"PROFILE","apiName":"Admin"},{"kind":"PERMISSION_SET","apiName":""}]})"));
    EXPECT_EQ(containers, (workflow::ContainerSet{{domain::FlsContainerKind::PermissionSet, ""},
                                                  {domain::FlsContainerKind::Profile, "Admin"}}));
    const auto health = *parse_confirm_target_health(params_of(R"({"action":"fix","findings":[2,0,2]})"));
    EXPECT_EQ(health, (workflow::TargetHealthAction{workflow::TargetHealthAction::Fix{{0, 2}}}));
}

TEST(RequestParameters, ReadsDefaultsAndOptionalValues) {
    const json::Value none = params_of("{}");
    EXPECT_EQ(parse_layout_mode(none)->wire_id(), "whole");
    EXPECT_EQ(parse_layout_mode(params_of(R"({"layoutMode":"elements"})"))->wire_id(), "elements");
    EXPECT_FALSE(*parse_flag(none, "retryUnexpectedErrorsAlone"));
    EXPECT_TRUE(*parse_flag(params_of(R"({"retryUnexpectedErrorsAlone":true})"), "retryUnexpectedErrorsAlone"));
    EXPECT_EQ(parse_operation_id(none), std::nullopt);
    EXPECT_EQ(parse_operation_id(params_of(R"({"operationId":"4"})")), std::nullopt);
    EXPECT_EQ(parse_operation_id(params_of(R"({"operationId":-4})")), std::nullopt);
    EXPECT_EQ(parse_operation_id(params_of(R"({"operationId":null})")), std::nullopt);
    EXPECT_EQ(parse_operation_id(params_of(R"({"operationId":4})")), 4u);
    EXPECT_EQ(*parse_optional_deploy_mode(params_of(R"({"deployMode":"VALIDATE_ONLY"})")),
              domain::DeployMode::ValidateOnly);
    EXPECT_EQ(*parse_body(params_of(R"({"body":"<x/>"})")), std::optional<std::string>("<x/>"));
    EXPECT_EQ(*parse_side(params_of(R"({"side":"target"})")), workflow::EndpointSide::Target);
    EXPECT_EQ(*parse_log_level(params_of(R"({"level":"detailed"})")), logging::LogLevel::Detailed);
    EXPECT_EQ(*parse_selectable_metadata_type(params_of(R"({"metadataType":"CustomField"})")), MetadataType::CustomField);

    const auto confirm = *parse_confirm_tests(params_of(R"({"sessionId":7,"tests":["B","A"]})"));
    EXPECT_EQ(confirm.tests, (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(confirm.deploy_mode, std::nullopt);
    const auto source = *parse_component_source(params_of(R"({"sessionId":7,"metadataType":"ApexClass","name":"C"})"));
    EXPECT_EQ(source.session_id, 7u);
    EXPECT_EQ(source.metadata_type, MetadataType::ApexClass);
    EXPECT_EQ(source.name, "C");
}

TEST(RequestParameters, ExportSessionTakesOnlyWhatIsPresent) {
    const auto bare = *parse_export_session(params_of(R"({"path":"/tmp/s.json","tests":null})"));
    EXPECT_EQ(bare.path, "/tmp/s.json");
    EXPECT_EQ(bare.selection, ScreenSelection{});
    const auto full = *parse_export_session(params_of(
        R"({"path":"p","currentSelection":["x"],"selected":[{"metadataType":"ApexClass","name":"C"}],"flsMode":"ALL","tests":["T"],"containers":[{"kind":"PROFILE","apiName":"Admin"}]})"));
    EXPECT_EQ(full.selection.current_selection, (StringSet{"x"}));
    EXPECT_EQ(full.selection.selected_keys, (KeySet{{MetadataType::ApexClass, "C"}}));
    EXPECT_EQ(full.selection.fls_mode, domain::FlsMode::All);
    EXPECT_EQ(full.selection.tests, (std::vector<std::string>{"T"}));
    EXPECT_EQ(full.selection.containers, (workflow::ContainerSet{{domain::FlsContainerKind::Profile, "Admin"}}));
    const auto manifest = *parse_export_manifest(params_of(R"({"path":"m.xml","currentSelection":["b","a"]})"));
    EXPECT_EQ(manifest.path, "m.xml");
    EXPECT_EQ(manifest.current_selection, (StringSet{"a", "b"}));
}

TEST(RequestParameters, EndpointsBecomeOrgOrGitEndpoints) {
    const auto org = *parse_endpoint_param(params_of(R"({"endpoint":{"kind":"org","alias":" dev "}})"));
    ASSERT_TRUE(org.is_org());
    EXPECT_EQ(std::get<endpoint::DeployEndpoint::Org>(org.value).org.alias, " dev ");

    const auto remote =
        *parse_endpoint_param(params_of(R"({"endpoint":{"kind":"git","path":"~/repo","branch":{"name":"main","kind":"remote"}}})"));
    ASSERT_TRUE(remote.is_git());
    const auto& git = std::get<endpoint::DeployEndpoint::Git>(remote.value);
    EXPECT_EQ(git.repository, git::repo_path::resolve_repo_path_input("~/repo", git::repo_path::home_directory()));
    EXPECT_EQ(git.branch.name, "main");
    EXPECT_EQ(git.branch.remote, std::optional<std::string>("origin"));
    EXPECT_FALSE(git.branch.is_current);
    EXPECT_FALSE(git.branch.create);
    EXPECT_EQ(git.branch.base, std::nullopt);

    const auto local = *parse_endpoint_param(params_of(
        R"({"endpoint":{"kind":"git","path":"/r","branch":{"name":"f","kind":7,"isCurrent":true,"create":"yes","base":"main","remote":"up"}}})"));
    const auto& branch = std::get<endpoint::DeployEndpoint::Git>(local.value).branch;
    EXPECT_EQ(branch.remote, std::nullopt);
    EXPECT_TRUE(branch.is_current);
    EXPECT_FALSE(branch.create);
    EXPECT_EQ(branch.base, std::optional<std::string>("main"));

    const auto named_remote = *parse_endpoint_param(
        params_of(R"({"endpoint":{"kind":"git","path":"/r","branch":{"name":"f","kind":"remote","remote":""}}})"));
    EXPECT_EQ(std::get<endpoint::DeployEndpoint::Git>(named_remote.value).branch.remote, std::optional<std::string>(""));
}

}  // namespace
}  // namespace ambrel::dispatch

#include "app/use_cases.hpp"

namespace ambrel::app {

namespace {

endpoint::DeployEndpoint alias_only_endpoint(std::string_view alias) {
    endpoint::OrgAlias org;
    org.alias = std::string(alias);
    org.kind = endpoint::OrgKind::Other;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
}

}  // namespace

SessionResult QuillaryUseCases::compare(std::string_view source_alias, std::string_view target_alias,
                                        const CompareSelection& selection,
                                        const domain::CancellationToken& token) const {
    const endpoint::DeployEndpoint source = alias_only_endpoint(source_alias);
    const endpoint::DeployEndpoint target = alias_only_endpoint(target_alias);
    return compare_endpoints(source, target, selection, metadata_types::LayoutComparisonMode::Whole, token);
}

}  // namespace ambrel::app

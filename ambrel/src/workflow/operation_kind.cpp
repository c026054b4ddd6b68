#include "workflow/operation_kind.hpp"

namespace ambrel::workflow {

std::string_view wire_name(OperationKind kind) noexcept {
    switch (kind) {
        case OperationKind::LoadOrgs: return "loadOrgs";
        case OperationKind::LoadComponents: return "loadComponents";
        case OperationKind::Compare: return "compare";
        case OperationKind::Deploy: return "deploy";
        case OperationKind::QuickDeploy: return "quickDeploy";
        case OperationKind::MatchFls: return "matchFls";
        case OperationKind::ListApexTests: return "listApexTests";
        case OperationKind::ImportManifest: return "importManifest";
        case OperationKind::Back: return "back";
        case OperationKind::CreateOrgAlias: return "createOrgAlias";
        case OperationKind::ImportSession: return "importSession";
        case OperationKind::PrepareOrgs: return "prepareOrgs";
        case OperationKind::CheckTargetHealth: return "checkTargetHealth";
        case OperationKind::FixTargetHealth: return "fixTargetHealth";
    }
    return "loadOrgs";
}

}  // namespace ambrel::workflow

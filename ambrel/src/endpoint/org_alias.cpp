#include "endpoint/org_alias.hpp"

namespace ambrel::endpoint {

std::string_view listing_array_name(OrgKind kind) noexcept {
    switch (kind) {
        case OrgKind::NonScratch: return "nonScratchOrgs";
        case OrgKind::Scratch: return "scratchOrgs";
        case OrgKind::Sandbox: return "sandboxes";
        case OrgKind::DevHub: return "devHubs";
        case OrgKind::Other: return "other";
    }
    return "other";
}

}  // namespace ambrel::endpoint

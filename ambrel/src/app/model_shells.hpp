#pragma once

// How product bundles and constraint models ride along in a compare between two orgs: the manifest
// of a retrieve gives every selected constraint model its expression set definition of the same name
// (its shell), and the constraint models that tag a selected bundle join the selection. Pure
// functions; never fail; any thread. The two steps that call ports are members of the application
// service (widen_with_tagging_models, synthesize_record_documents).

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"

namespace ambrel::app {

inline constexpr std::string_view kTaggingListingFailedFormat =
    "Constraint models tagging the selected product bundles could not be listed in {}: {}";

// A copy of the selection in which every constraint model whose name is an object API name also
// names the ExpressionSetDefinition of the same name (when the catalogue knows that type).
CompareSelection retrieve_manifest_with_model_shells(const CompareSelection& selection);

// The models of the tagging answer (model name to the bundles it tags) that tag one of the selected
// bundles and are not selected yet, in model-name order.
std::vector<std::string> constraint_model_additions(const std::map<std::string, std::set<std::string>>& tagging,
                                                    const std::set<std::string>& selected_bundles,
                                                    const std::set<std::string>& selected_models);

}  // namespace ambrel::app

#pragma once

// The Apex test classes a deploy may run: the test classes among the selected rows of a comparison,
// and the merged, filtered and sorted candidates of the test screen. Pure functions; never fail;
// any thread (the annotation pattern is compiled once on first use and shared).
//
// A selected row is a session test when it is an ApexClass, its key is selected, it is a deployable
// change (deploy scope FULL or TRACKING_ONLY), its name holds no "__" (namespaced classes are never
// offered) and its body text holds the IsTest annotation. A candidate's name must hold "test" in its
// lower-case form; the first name of a lower-case form wins, session names before target names.

#include <set>
#include <string>
#include <vector>

#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::apex_tests {

// "(?i)@\s*istest", searched anywhere in a class body.
const re2::RE2& IS_TEST_ANNOTATION();

// The names of the selected test classes, in row order.
std::vector<std::string> session_test_names(const std::vector<domain::ComponentDifference>& rows,
                                            const std::set<domain::ComponentKey>& selected);

// Session names (preselected) and target names (not preselected), stably sorted by their lower-case
// form compared byte-wise.
std::vector<domain::ApexTestCandidate> collect_test_candidates(std::vector<std::string> session_names,
                                                               std::vector<std::string> target_names);

}  // namespace ambrel::apex_tests

#pragma once

// Keeps the rows of a compare that the user asked for and the rows they need, records for every row
// kept only because of another row that row's name as its required-by name, and prunes the
// dependency edges and unresolved references to the kept rows.
//
// Needed rows are: the rows a kept row requires (followed transitively, breadth first: a row required
// by two kept rows gets the name of the one taken from the queue first); the first key of a pull-in
// entry whose second key is kept (not followed further through it); and the added object definitions
// whose fields are kept, named after the object's smallest kept field, which gain an edge from every
// kept field of the object and whose own requirements are then followed. A Layout row is matched on
// the page layout part of its name (before "::"); every other row on its container name.
//
// Never fails; a row of a record-data type is a programming error (it has no descriptor). Every
// lookup is in an ordered map or set and each key is queued at most once, so the cost grows with the
// rows and edges times a logarithm. A pure function of its arguments; any thread.

#include <map>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/comparison_session.hpp"
#include "dependency/unresolved_dependency.hpp"
#include "domain/difference.hpp"

namespace ambrel::app {

using UnresolvedMap = std::map<domain::ComponentKey, std::vector<dependency::UnresolvedDependency>>;
// A row joins the kept rows, named after the second key's row, once the second key's row is kept.
using PullInMap = std::map<domain::ComponentKey, domain::ComponentKey>;

void retain_requested_rows(std::vector<domain::ComponentDifference>& rows, const CompareSelection& requested,
                           RowKeyMap& edges, UnresolvedMap& unresolved, const PullInMap& pull_in);

}  // namespace ambrel::app

#pragma once

// The ports that bring metadata documents into a compare and a deploy:
//   `build_metadata_retrieval`     retrieves a selection of both orgs into a private workspace below
//                                  "{root}/quillary" (a first retrieve makes it and hands it over), or
//                                  adds to the workspace of the continuation (a delta retrieve, which
//                                  reports "retrievingMetadata" only when it has something to fetch);
//   `build_component_reading`      reads one type's components below a source folder;
//   `make_target_layout_reading`,
//   `make_tracking_dependencies`   the target's current Layout or CustomField documents by name: from a
//                                  git branch through its SFDX layout (a branch that is not an SFDX
//                                  project has none), or from the org through a throw-away retrieve
//                                  whose workspace is closed before the call returns.
// `read_workspace_documents` and `read_branch_documents` serve the last two: each renders a name's
// document path from the type's descriptor, skips a name without a single safe path (".." segments, a
// leading "/") without touching a file, and leaves out a name whose document is missing or unreadable.
// Workspace files are read without following links and without blocking on a FIFO.
//
// Failures (WorkflowFailure; none carries an org alias): Operation with the workspace location's
// text; a retrieve failure through its mapping (Cancelled for a cancelled retrieve), followed by its
// clean-up errors; Operation with a reader's text or "Revenue Cloud records are not retrieved as
// metadata."; Operation with the close error's text when a target read's workspace cannot be removed
// (the documents read are dropped); a git failure's text for a branch read that fails other than by a
// missing file.
//
// The ports keep nothing between calls and may run on several threads at once; the retrieve service
// runs its CLI retrieves on threads of its own and returns after they end.

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "app/ports/port_result.hpp"
#include "app/ports/target_layout_reading.hpp"
#include "app/ports/tracking.hpp"
#include "git/layout.hpp"
#include "git/reader.hpp"
#include "metadata_types/metadata_type.hpp"
#include "wiring/core_port_set.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

// A document text by component name.
using DocumentMap = std::map<std::string, std::string>;

// The folder below a project that retrieved documents lie in.
inline constexpr std::string_view kProjectMetadataFolder = "force-app/main/default";

PortFunction<&app::ports::CorePorts::metadata_retrieval> build_metadata_retrieval(const WiringContext& context);
PortFunction<&app::ports::CorePorts::component_reading> build_component_reading();
std::shared_ptr<const app::ports::TargetLayoutReading> make_target_layout_reading(const WiringContext& context);
std::shared_ptr<const app::ports::TrackingDependencies> make_tracking_dependencies(const WiringContext& context);

// The documents of the named components of the type below "{project}/force-app/main/default".
DocumentMap read_workspace_documents(const std::filesystem::path& project, const std::set<std::string>& names,
                                     metadata_types::MetadataType type);

// The documents of the named components of the type on the branch, the first package directory that
// holds one winning.
app::ports::PortResult<DocumentMap> read_branch_documents(const git::GitContentReader& reader,
                                                          const git::SfdxLayout& layout,
                                                          const std::set<std::string>& names,
                                                          metadata_types::MetadataType type);

}  // namespace ambrel::server::wiring

#pragma once

// The details text of a deploy summary: one line per component result ("{type label} {name}
// [{status}]: {message}") and per permission result ("Permission {kind} {container} {subject}
// [{status}]: {message}"), the leading notes above them (the last one first) and the trailing notes
// below, passed through the diagnostic sanitizer and cut to kDiagnosticCharacterLimit characters.
// The notes are taken out of the summary. Never fails; touches only the summary it is given.

#include "app/ports/core_ports.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

// Borrows the core ports for the sanitizer only.
void build_details(const ports::CorePorts& core, deployment::DeploymentSummary& summary);

}  // namespace ambrel::app

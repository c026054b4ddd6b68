#pragma once

// The service factory the server runs with until the real gateways are wired in: it builds the
// application service with the optional port groups at their fixed-failure defaults and every other
// port answering a failure of kind Operation with kStandInMessage (the comparison and the diagnostic
// sanitizer, which cannot fail, answer nothing and the text unchanged). The process's one command
// cache is handed back to every session, with the remembered endpoints of the per-user data
// directory. With it the server starts, initialises and answers every request; operations that would
// reach Salesforce or git end on the error screen.
//
// Thread-safety: the factory and the ports it builds hold no mutable state.

#include <memory>
#include <string_view>

#include "cli/cache.hpp"
#include "dispatch/dispatcher.hpp"

namespace ambrel::server {

inline constexpr std::string_view kStandInMessage =
    "This build of the server is not connected to Salesforce or git yet.";

dispatch::ServiceFactory stand_in_service_factory(std::shared_ptr<cli::CliCommandCache> cache);

}  // namespace ambrel::server

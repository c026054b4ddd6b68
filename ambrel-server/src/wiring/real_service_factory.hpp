#pragma once

// The composition root: the service factory that the entry point makes once per process, holding the
// one process-wide command cache, and that "initialize" calls once per session with the workspace
// root, the session's progress sink and its log sink. Each call discovers the remembered-endpoints
// file, finds `sf` (PATH, then the CLI's install folder under HOME, then the platform's fixed
// locations; plain "sf" when none), builds the session's `sf` gateway (logging into the session log,
// caching into the process-wide cache) and git gateway, binds every port of the application service
// to them, and answers the service, the same process-wide cache and the endpoint memory.
//
// The factory never fails: a missing `sf` shows up at the first org listing as the Prerequisite
// failure "Salesforce CLI could not be started or did not return a valid version response.", and
// without HOME the endpoint memory remembers nothing. The platform rules are those of the platform
// the program runs on. The factory is safe to call from any thread; what it answers lives until the
// session drops it.

#include <functional>
#include <memory>

#include "cli/cache.hpp"
#include "cli/resolver.hpp"
#include "dispatch/dispatcher.hpp"
#include "endpoint_memory/endpoint_memory.hpp"

namespace ambrel::server::wiring {

// What the factory reads of the machine at each call; tests give their own.
struct FactoryEnvironment {
    // Finds `sf`; by default over this process's PATH and HOME and the running platform's locations.
    std::function<cli::SfCliExecutableResolver()> resolver = &cli::SfCliExecutableResolver::for_this_process;
    // The remembered endpoints; by default in the running platform's per-user data directory.
    std::function<endpoint_memory::FileEndpointMemory()> endpoint_memory =
        &endpoint_memory::FileEndpointMemory::discover;
};

dispatch::ServiceFactory real_service_factory(std::shared_ptr<cli::CliCommandCache> cache);
dispatch::ServiceFactory real_service_factory(std::shared_ptr<cli::CliCommandCache> cache,
                                              FactoryEnvironment environment);

}  // namespace ambrel::server::wiring

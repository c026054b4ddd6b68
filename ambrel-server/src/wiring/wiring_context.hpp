#pragma once

// The shared objects of one server session that every port adapter works over: the `sf` gateway
// (logging into the session log, caching into the process-wide command cache), the git gateway, an
// owned copy of the workspace root, the session's progress sink and its log sink. The composition root
// builds one per "initialize"; each adapter keeps a copy, so the objects live as long as the service.
//
// Plain data: copying it shares the objects. The gateways and sinks guard their own state, so any
// number of ports may use one context from any threads at once; nothing here can fail.

#include <filesystem>
#include <memory>
#include <string>

#include "cli/cache.hpp"
#include "cli/gateway.hpp"
#include "git/gateway.hpp"
#include "logging/log_sink.hpp"
#include "progress/progress.hpp"

namespace ambrel::server::wiring {

class GitSnapshots;

struct WiringContext {
    std::shared_ptr<const cli::SfCliGateway> sf;
    std::shared_ptr<const git::GitGateway> git;
    // The front end's workspace root; temporary workspaces and package folders go below it.
    std::filesystem::path workspace_root;
    std::shared_ptr<progress::ProgressSink> progress;
    std::shared_ptr<logging::LogSink> log;
    // The git sides read by the operation that runs now, dropped at every operation boundary of the
    // command cache the context was made with.
    std::shared_ptr<GitSnapshots> git_snapshots;
};

// The context of a session: an `sf` gateway over the executable with a process runner of its own,
// logging into `log` and caching into `cache`; a git gateway over a second runner, logging into `log`.
// An absent progress or log sink is replaced by a disabled one. The git snapshots are attached to
// `cache`, which tells them where operations start and end.
WiringContext make_wiring_context(const std::filesystem::path& workspace_root,
                                  std::shared_ptr<progress::ProgressSink> progress,
                                  std::shared_ptr<logging::LogSink> log, std::shared_ptr<cli::CliCommandCache> cache,
                                  std::string sf_executable);

}  // namespace ambrel::server::wiring

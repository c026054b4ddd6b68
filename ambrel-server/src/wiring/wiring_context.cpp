#include "wiring/wiring_context.hpp"

#include <utility>

#include "process/process_runner.hpp"
#include "wiring/git_ports.hpp"

namespace ambrel::server::wiring {

WiringContext make_wiring_context(const std::filesystem::path& workspace_root,
                                  std::shared_ptr<progress::ProgressSink> progress,
                                  std::shared_ptr<logging::LogSink> log, std::shared_ptr<cli::CliCommandCache> cache,
                                  std::string sf_executable) {
    // Ports report and log unconditionally, so an absent sink becomes one that does nothing.
    if (!progress) progress = progress::ProgressSink::disabled();
    if (!log) log = logging::LogSink::disabled();
    auto snapshots = std::make_shared<GitSnapshots>();
    if (cache) cache->attach(snapshots);
    auto sf = std::make_shared<const cli::SfCliGateway>(
        cli::SfCliGateway(std::move(sf_executable), std::make_unique<process::DefaultProcessRunner>())
            .with_log(log)
            .with_cache(std::move(cache)));
    auto git = std::make_shared<const git::GitGateway>(
        git::GitGateway(std::make_unique<process::DefaultProcessRunner>()).with_log(log));
    return WiringContext{
        .sf = std::move(sf),
        .git = std::move(git),
        .workspace_root = workspace_root,
        .progress = std::move(progress),
        .log = std::move(log),
        .git_snapshots = std::move(snapshots),
    };
}

}  // namespace ambrel::server::wiring

// ambrel-server: the JSON-RPC 2.0 server that the desktop front end starts with piped standard input
// and output. It reads no command line and no environment here; it exits with status 0 whenever the
// server loop returns, also after a frame error. SIGTERM, SIGHUP and SIGINT end the input: the loop
// stops as at its end, so the work in progress is cancelled and cleaned up before the exit.

#include <csignal>

#include <unistd.h>

#include "cli/cache.hpp"
#include "main/io.hpp"
#include "main/server.hpp"
#include "main/stop_signals.hpp"
#include "wiring/real_service_factory.hpp"

int main() {
    // A client that closes its end must make writes fail with EPIPE, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any other thread starts, so that none of them can take a stop signal.
    auto stop_signals = ambrel::server::StopSignals::install();
    if (!stop_signals) {
        ambrel::server::write_diagnostic("could not watch for stop signals: " + stop_signals.error());
    }
    ambrel::server::BufferedReader reader(STDIN_FILENO);
    if (stop_signals) reader.stop_when_readable((*stop_signals)->wake_fd());
    ambrel::server::FdOutput output(STDOUT_FILENO);
    auto cache = ambrel::cli::CliCommandCache::create();
    ambrel::server::run(reader, output, ambrel::server::wiring::real_service_factory(cache));
    return 0;
}

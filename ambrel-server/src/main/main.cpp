// ambrel-server: the JSON-RPC 2.0 server that the desktop front end starts with piped standard input
// and output. It reads no command line and no environment here; it exits with status 0 whenever the
// server loop returns, also after a frame error.

#include <csignal>

#include <unistd.h>

#include "cli/cache.hpp"
#include "main/io.hpp"
#include "main/server.hpp"
#include "wiring/real_service_factory.hpp"

int main() {
    // A client that closes its end must make writes fail with EPIPE, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    ambrel::server::BufferedReader reader(STDIN_FILENO);
    ambrel::server::FdOutput output(STDOUT_FILENO);
    auto cache = ambrel::cli::CliCommandCache::create();
    ambrel::server::run(reader, output, ambrel::server::wiring::real_service_factory(cache));
    return 0;
}

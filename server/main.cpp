// quorvel-server: the update service. `serve` answers the clients and publishes their
// addresses into DNS; add, remove, list and import manage the names in the same store. The
// command table (commands.cpp) picks the command, the option table (options.cpp) reads the rest.
#include <cstdio>
#include <cstring>

#include "server/commands.hpp"
#include "server/options.hpp"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(qserver::Usage().c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("quorvel-server " QUORVEL_SERVER_VERSION);
      return 0;
    }
  }
  qserver::Options options;
  std::string error;
  // Kept for SIGHUP, which reads the configuration again as the command line gave it.
  options.argv.assign(argv, argv + argc);
  if (!qserver::ParseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "quorvel-server: %s\n%s", error.c_str(), qserver::Usage().c_str());
    return 2;
  }
  return qserver::FindCommand(options.command)->run(options);
}

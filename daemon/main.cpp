// quorveld: the command line. Every rule of the service is the core's; this file only picks
// the command.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text.hpp"
#include "daemon/commands.hpp"
#include "daemon/service_loop.hpp"
#include "daemon/version.hpp"
#include "settings/interval.hpp"
#include "update/server_address.hpp"

namespace {

// Where the system unit keeps its settings and state (its StateDirectory).
constexpr char kSystemFolder[] = "/var/lib/quorveld";

constexpr char kHelp[] =
    "usage: quorveld [--system] COMMAND\n"
    "Keeps this machine's address up to date with the Quorvel service.\n"
    "\n"
    "  run                    the service in the foreground until SIGTERM or SIGINT;\n"
    "                         follows activate and deactivate without a restart;\n"
    "                         SIGUSR1 updates now, SIGHUP reads the settings again\n"
    "  activate IDENTIFIANT [--interval MINUTES] [--ipv6 | --no-ipv6]\n"
    "                         stores the identifier and the interval (1 to 60; the stored\n"
    "                         one, else 15, without --interval) and switches the service on;\n"
    "                         --ipv6: each update also goes over IPv6 (--no-ipv6: not;\n"
    "                         neither keeps the stored choice, off at first)\n"
    "  deactivate             switches the service off\n"
    "  status                 the stored state, identifier, interval and IPv6, whether a run is\n"
    "                         running, the last update; exit status 0 on, 3 off\n"
    "  once                   one update now, settings unchanged; exit status 0 found,\n"
    "                         2 unknown identifier, 1 anything else\n"
    "  --system               the system service's settings (/var/lib/quorveld), as root\n"
    "  --help, --version\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/quorvel/settings. QUORVEL_SERVER=host[:port] (an IPv6\n"
    "address as [address]:port, or http://host[:port]/) points the program at another\n"
    "update server; a value that cannot be used stops it (status 2).\n";

int Usage() {
  quorvel::PrintLine(STDERR_FILENO, std::string(kHelp, sizeof kHelp - 2));
  return 2;
}

// 1 to 60 whole minutes, else 0.
int ParseMinutes(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > quorvel::kIntervalRows) return 0;
  return static_cast<int>(value);
}

int Activate(int argc, char** argv, int first) {
  const char* identifier = nullptr;
  int minutes = 0;
  quorvel::Ipv6Choice ipv6 = quorvel::Ipv6Choice::kKeep;
  for (int i = first; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ipv6") == 0) {
      ipv6 = quorvel::Ipv6Choice::kOn;
    } else if (std::strcmp(argv[i], "--no-ipv6") == 0) {
      ipv6 = quorvel::Ipv6Choice::kOff;
    } else if (std::strcmp(argv[i], "--interval") == 0) {
      if (i + 1 >= argc || (minutes = ParseMinutes(argv[++i])) == 0) {
        quorvel::PrintLine(STDERR_FILENO, "quorveld: --interval takes a number of minutes from 1 to 60");
        return 2;
      }
    } else if (identifier == nullptr) {
      identifier = argv[i];
    } else {
      return Usage();
    }
  }
  return quorvel::Activate(identifier != nullptr ? identifier : "", minutes, ipv6);
}

// A server address that cannot be used is an error, never a quiet fall-back to the public host
// (the identifier would go there in clear text). The reason is the window's, in French.
bool ServerAddressUsable() {
  const quorvel::ServerAddress address = quorvel::ServerAddressFromEnvironment(quorvel::TlsSupport::kAvailable);
  if (address.rejected.empty()) return true;
  quorvel::PrintLine(STDERR_FILENO,
                     "quorveld: QUORVEL_SERVER is not host, host:port, [IPv6]:port, http://host[:port]/ or "
                     "https://host[:port]/: '" +
                         quorvel::ToAnsi(address.rejected) + "' (" +
                         quorvel::ToAnsi(quorvel::RefusalReason(address.refusal)) + ")");
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (first < argc && std::strcmp(argv[first], "--system") == 0) {
    setenv("XDG_CONFIG_HOME", kSystemFolder, 1);
    setenv("XDG_STATE_HOME", kSystemFolder, 1);
    ++first;
  }
  if (first >= argc) return Usage();
  const std::string command = argv[first];
  if (command == "--help" || command == "-h") {
    quorvel::PrintLine(STDOUT_FILENO, std::string(kHelp, sizeof kHelp - 2));
    return 0;
  }
  if (command == "--version") {
    quorvel::PrintLine(STDOUT_FILENO, "quorveld " QUORVELD_VERSION);
    return 0;
  }
  if (command == "activate") return Activate(argc, argv, first + 1);
  if (argc != first + 1) return Usage();
  if (command == "run") return ServerAddressUsable() ? quorvel::RunService() : 2;
  if (command == "once") return ServerAddressUsable() ? quorvel::RunOnce() : 2;
  if (command == "status") return quorvel::ShowStatus();
  if (command == "deactivate") return quorvel::Deactivate();
  return Usage();
}

// quorveld: the command line. Every rule of the service is the core's; this file only picks
// the command.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text.hpp"
#include "daemon/service_loop.hpp"
#include "daemon/version.hpp"

namespace {

constexpr char kHelp[] =
    "usage: quorveld COMMAND\n"
    "Keeps this machine's address up to date with the Quorvel service.\n"
    "\n"
    "  run                    the service in the foreground until SIGTERM or SIGINT;\n"
    "                         follows activate and deactivate without a restart\n"
    "  activate IDENTIFIANT [--interval MINUTES]\n"
    "                         stores the identifier and the interval (1 to 60, default 15)\n"
    "                         and switches the service on\n"
    "  deactivate             switches the service off\n"
    "  status                 shows the stored state, identifier and interval\n"
    "  once                   one update now; exit status 0 found, 2 unknown identifier,\n"
    "                         1 anything else\n"
    "  --help, --version\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/quorvel/settings. QUORVEL_SERVER=host[:port] points the\n"
    "program at another update server.\n";

void Print(int fd, const char* text) {
  if (write(fd, text, std::strlen(text)) < 0) {
    // Nothing to report it to.
  }
}

int Usage() {
  Print(STDERR_FILENO, kHelp);
  return 2;
}

// 1 to 60 whole minutes, else 0.
int ParseMinutes(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 60) return 0;
  return static_cast<int>(value);
}

int Activate(int argc, char** argv) {
  const char* identifier = nullptr;
  int minutes = 15;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--interval") == 0) {
      if (i + 1 >= argc || (minutes = ParseMinutes(argv[++i])) == 0) {
        Print(STDERR_FILENO, "quorveld: --interval takes a number of minutes from 1 to 60\n");
        return 2;
      }
    } else if (identifier == nullptr) {
      identifier = argv[i];
    } else {
      return Usage();
    }
  }
  const std::wstring text = identifier != nullptr ? quorvel::FromAnsi(identifier) : L"";
  return quorvel::StoreActivation(text.c_str(), minutes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    Print(STDOUT_FILENO, kHelp);
    return 0;
  }
  if (command == "--version") {
    Print(STDOUT_FILENO, "quorveld " QUORVELD_VERSION "\n");
    return 0;
  }
  if (command == "activate") return Activate(argc, argv);
  if (argc != 2) return Usage();
  if (command == "run") return quorvel::RunService();
  if (command == "once") return quorvel::RunOnce();
  if (command == "status") return quorvel::ShowStatus();
  if (command == "deactivate") return quorvel::StoreDeactivation();
  return Usage();
}

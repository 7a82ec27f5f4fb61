#include "server/options.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>

#include "server/commands.hpp"
#include "server/query.hpp"

namespace qserver {

namespace {

using Kind = OptionSpec::Kind;

constexpr OptionSpec kOptions[] = {
    {"listen", Kind::kEndpoint, true, false, "ADDR:PORT",
     "where to answer the clients (0.0.0.0:80 and [::]:80)", &Options::listen},
    {"listen-https", Kind::kEndpoint, true, false, "ADDR:PORT", "where to answer the clients over TLS",
     &Options::listenHttps},
    {"tls-cert", Kind::kText, false, false, "FILE", "the PEM certificate (chain) of --listen-https",
     &Options::tlsCert},
    {"tls-key", Kind::kText, false, false, "FILE", "the PEM private key of --tls-cert", &Options::tlsKey},
    {"store", Kind::kText, false, false, "FILE|URI",
     "the store of names: a SQLite file, or postgresql://... (its password in ~/.pgpass)", &Options::store},
    {"create", Kind::kSwitch, false, false, "[=yes|no]", "serve: make the store if it is not there", &Options::create},
    {"from", Kind::kText, false, false, "FILE|URI", "migrate: the store whose names are copied into --store",
     &Options::from},
    {"replace", Kind::kSwitch, false, false, "[=yes|no]", "migrate: replace what --store holds",
     &Options::replace},
    {"reserved-labels", Kind::kText, true, true, "LABEL", "a name no one may take; a final * for a prefix",
     &Options::reservedLabels},
    {"zone", Kind::kZone, false, false, "ZONE",
     "the DNS zone the names live in; none: addresses are recorded only", &Options::zone},
    {"dns-server", Kind::kEndpoint, false, false, "ADDR:PORT", "the zone's primary, for signed updates",
     &Options::dnsServer},
    {"tsig-key", Kind::kText, false, true, "FILE", "the TSIG key (hmac-sha256) as tsig-keygen writes it",
     &Options::tsigKey},
    {"ttl", Kind::kNumber, false, true, "SECONDS", "of the A and AAAA records", &Options::ttl, 0, 86400},
    {"trusted-proxy", Kind::kAddress, true, true, "ADDR", "a proxy whose X-Forwarded-For is believed",
     &Options::trustedProxies},
    {"allow-host", Kind::kText, true, true, "NAME",
     "a Host name the creation page answers to besides its own", &Options::allowHosts},
    {"config",
     Kind::kConfigFile,
     false,
     false,
     "FILE",
     "these options as NAME = VALUE lines; the command line wins",
     {}},
    {"metrics-listen", Kind::kEndpoint, false, false, "ADDR:PORT", "a socket of its own for /metrics",
     &Options::metricsListen},
    {"read-timeout", Kind::kNumber, false, false, "SECONDS", "of silence before a connection is closed",
     &Options::readTimeout, 1, 3600},
    {"max-per-peer", Kind::kNumber, false, true, "N", "connections at once from one peer",
     &Options::maxPerPeer, 1, 100000},
    {"max-connections", Kind::kNumber, false, false, "N", "connections at once", &Options::maxConnections, 1,
     100000},
    {"max-creations-per-minute", Kind::kNumber, false, true, "N", "identifiers one peer may create a minute",
     &Options::maxCreationsPerMinute, 0, 1000000},
    {"max-names", Kind::kNumber, false, true, "N", "no creation on the page once the store holds as many",
     &Options::maxNames, 0, 100000000},
    {"threads", Kind::kNumber, false, false, "N", "threads answering each listening address",
     &Options::threads, 1, 64},
    {"max-updates-per-minute", Kind::kNumber, false, true, "N", "of one name; more is a flood, 0: no limit",
     &Options::maxUpdatesPerMinute, 0, 1000000},
    {"max-failures-per-hour", Kind::kNumber, false, true, "N",
     "unknown identifiers one peer may try an hour, then denied; 0: no limit", &Options::maxFailuresPerHour, 0,
     1000000},
    {"open-creation", Kind::kSwitch, false, true, "[=yes|no]", "the creation page makes names",
     &Options::openCreation},
};

using Values = std::map<std::string, std::vector<std::string>>;

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool ReadConfig(const std::string& path, Values& values, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    std::size_t eq = line.find('=');
    const OptionSpec* option = eq == std::string::npos ? nullptr : FindOption(Trim(line.substr(0, eq)));
    if (!option || option->kind == Kind::kConfigFile) {
      error = path + ":" + std::to_string(number) + ": not an option line: " + line;
      return false;
    }
    values[option->name].push_back(Trim(line.substr(eq + 1)));
  }
  return true;
}

bool Number(const OptionSpec& spec, const std::string& text, int& out, std::string& error) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno || end == text.c_str() || *end || value < spec.min || value > spec.max) {
    error = std::string("--") + spec.name + " wants a number from " + std::to_string(spec.min) + " to " +
            std::to_string(spec.max) + ", not \"" + text + "\"";
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

// One option's values (the last one alone unless it repeats) into its field.
bool Apply(const OptionSpec& spec, const std::vector<std::string>& given, Options& o, std::string& error) {
  const std::vector<std::string> list = spec.repeatable ? given : std::vector<std::string>{given.back()};
  switch (spec.kind) {
    case Kind::kText:
      if (spec.repeatable)
        o.*std::get<std::vector<std::string> Options::*>(spec.field) = list;
      else
        o.*std::get<std::string Options::*>(spec.field) = list.back();
      return true;
    case Kind::kZone: {
      std::string& zone = o.*std::get<std::string Options::*>(spec.field);
      zone = Lower(list.back());
      while (!zone.empty() && zone.back() == '.') zone.pop_back();
      return true;
    }
    case Kind::kNumber:
      return Number(spec, list.back(), o.*std::get<int Options::*>(spec.field), error);
    case Kind::kEndpoint:
      for (const std::string& item : list) {
        const std::optional<Endpoint> endpoint = ParseEndpoint(item);
        if (!endpoint) {
          error = std::string("--") + spec.name + " wants ADDR:PORT (IPv6 in brackets), not \"" + item + "\"";
          return false;
        }
        if (spec.repeatable)
          (o.*std::get<std::vector<Endpoint> Options::*>(spec.field)).push_back(*endpoint);
        else
          o.*std::get<std::optional<Endpoint> Options::*>(spec.field) = endpoint;
      }
      return true;
    case Kind::kAddress:
      for (const std::string& item : list) {
        unsigned char buffer[16];
        if (::inet_pton(AF_INET, item.c_str(), buffer) != 1 &&
            ::inet_pton(AF_INET6, item.c_str(), buffer) != 1) {
          error = std::string("--") + spec.name + " wants an IP address, not \"" + item + "\"";
          return false;
        }
      }
      o.*std::get<std::vector<std::string> Options::*>(spec.field) = list;
      return true;
    case Kind::kConfigFile:
      return true;
    case Kind::kSwitch: {
      const std::string value = Lower(list.back());
      if (value != "yes" && value != "no") {
        error = std::string("--") + spec.name + " wants yes or no, not \"" + list.back() + "\"";
        return false;
      }
      o.*std::get<bool Options::*>(spec.field) = value == "yes";
      return true;
    }
  }
  return true;
}

// An option's default, as --help shows it after its text.
std::string Default(const OptionSpec& spec) {
  static const Options kDefaults;
  if (const auto* number = std::get_if<int Options::*>(&spec.field))
    return " (" + std::to_string(kDefaults.**number) + ")";
  if (const auto* on = std::get_if<bool Options::*>(&spec.field)) return kDefaults.**on ? " (yes)" : " (no)";
  if (const auto* text = std::get_if<std::string Options::*>(&spec.field);
      text && !(kDefaults.**text).empty())
    return " (" + kDefaults.**text + ")";
  return "";
}

}  // namespace

std::span<const OptionSpec> OptionTable() { return kOptions; }

const OptionSpec* FindOption(std::string_view name) { return FindByName(OptionTable(), name); }

std::vector<std::string> ChangedOptions(const Options& a, const Options& b) {
  std::vector<std::string> changed;
  for (const OptionSpec& option : kOptions) {
    const bool differs = std::visit(
        [&](auto field) {
          if constexpr (std::is_same_v<decltype(field), std::monostate>)
            return false;
          else
            return !(a.*field == b.*field);
        },
        option.field);
    if (differs) changed.push_back(option.name);
  }
  return changed;
}

std::string Usage() {
  std::string text = "usage: quorvel-server COMMAND [OPTION]...\nCommands:\n";
  const auto column = [&text](std::string left, const std::string& right) {
    left.resize(std::max<std::size_t>(left.size() + 1, 30), ' ');
    text += "  " + left + right + "\n";
  };
  for (const Command& command : CommandTable())
    column(std::string(command.name) + (command.argument ? std::string(" ") + command.argument : ""),
           command.help);
  text +=
      "Options, on the command line or as NAME = VALUE lines of a --config file (the command\n"
      "line wins; ... marks one that may repeat):\n";
  for (const OptionSpec& option : kOptions)
    column(std::string("--") + option.name + " " + option.value + (option.repeatable ? "..." : ""),
           std::string(option.help) + Default(option));
  return text + "See quorvel-server(1).\n";
}

bool ParseCommandLine(int argc, char** argv, Options& o, std::string& error) {
  Values given;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      std::string key = arg.substr(2), value;
      std::size_t eq = key.find('=');
      const OptionSpec* spec = FindOption(key.substr(0, eq));
      if (eq != std::string::npos) {
        value = key.substr(eq + 1);
        key.resize(eq);
      } else if (spec && spec->kind == Kind::kSwitch) {
        value = "yes";  // a switch alone: --open-creation, --create
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        error = arg + " wants a value";
        return false;
      }
      if (!spec) {
        error = "unknown option " + arg;
        return false;
      }
      given[key].push_back(value);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) {
    error = "no command";
    return false;
  }
  o.command = words[0];
  const Command* command = FindCommand(o.command);
  if (!command) {
    error = "unknown command \"" + o.command + "\"";
    return false;
  }
  const bool takesArgument = command->argument != nullptr;
  if (words.size() != (takesArgument ? 2u : 1u)) {
    error = takesArgument ? o.command + " takes one argument" : o.command + " takes no argument";
    return false;
  }
  if (takesArgument) o.argument = words[1];

  Values values;
  if (given.count("config") && !ReadConfig(given["config"].back(), values, error)) return false;
  // The command line wins, a repeatable option's whole list with it.
  for (auto& [key, list] : given) values[key] = list;
  for (const auto& [key, list] : values)
    if (!Apply(*FindOption(key), list, o, error)) return false;
  if (o.listen.empty()) o.listen = {*ParseEndpoint("0.0.0.0:80"), *ParseEndpoint("[::]:80")};
  if (!o.zone.empty() && (!o.dnsServer || o.tsigKey.empty())) {
    error = "--zone wants --dns-server and --tsig-key too";
    return false;
  }
  // A TLS socket without its pair could only fail each handshake; a pair without a socket
  // would be read for nothing, most likely a forgotten --listen-https.
  if (!o.listenHttps.empty() && (o.tlsCert.empty() || o.tlsKey.empty())) {
    error = "--listen-https wants --tls-cert and --tls-key too";
    return false;
  }
  if (o.listenHttps.empty() && (!o.tlsCert.empty() || !o.tlsKey.empty())) {
    error = "--tls-cert and --tls-key go with --listen-https";
    return false;
  }
  // A key without a zone is left unused: the service's unit always hands one over.
  if (o.zone.empty() && o.dnsServer) {
    error = "--dns-server goes with --zone";
    return false;
  }
  return true;
}

}  // namespace qserver

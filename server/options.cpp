#include "server/options.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

namespace qserver {

const char kUsage[] =
    "usage: quorvel-server serve  [--listen ADDR:PORT]... [--store FILE]\n"
    "                             [--zone ZONE --dns-server ADDR:PORT --tsig-key FILE]\n"
    "                             [--ttl SECONDS] [--trusted-proxy ADDR]... [--allow-host NAME]...\n"
    "                             [--config FILE]\n"
    "       quorvel-server add LABEL     [same options]\n"
    "       quorvel-server remove LABEL  [same options]\n"
    "       quorvel-server list          [same options]\n"
    "       quorvel-server import FILE   [same options]\n"
    "More options: --metrics-listen ADDR:PORT, --read-timeout SECONDS (10),\n"
    "  --max-per-peer N (64), --max-connections N (1024), --max-creations-per-minute N (10),\n"
    "  --max-names N (10000), --threads N (2), --max-updates-per-minute N (10). See quorvel-server(1).\n";

std::string Endpoint::Host() const {
  if (!v6) return address;
  std::string host(1, '[');
  host.append(address).push_back(']');
  return host;
}

std::string Endpoint::Text() const { return Host() + ":" + std::to_string(port); }

socklen_t Endpoint::ToSockaddr(sockaddr_storage& storage) const {
  storage = {};
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&storage);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
  return sizeof *a;
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
  Endpoint endpoint;
  std::size_t colon;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return {};
    endpoint.address = text.substr(1, close - 1);
    endpoint.v6 = true;
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string::npos) return {};
    endpoint.address = text.substr(0, colon);
  }
  unsigned char buffer[16];
  if (::inet_pton(endpoint.v6 ? AF_INET6 : AF_INET, endpoint.address.c_str(), buffer) != 1) return {};
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return {};
  endpoint.port = std::atoi(port.c_str());
  if (endpoint.port > 65535) return {};
  return endpoint;
}

namespace {

const std::set<std::string> kRepeatable = {"listen", "trusted-proxy", "allow-host"};
const std::set<std::string> kKnown = {"listen",
                                      "store",
                                      "zone",
                                      "dns-server",
                                      "tsig-key",
                                      "ttl",
                                      "trusted-proxy",
                                      "allow-host",
                                      "config",
                                      "metrics-listen",
                                      "read-timeout",
                                      "max-per-peer",
                                      "max-connections",
                                      "max-creations-per-minute",
                                      "max-names",
                                      "threads",
                                      "max-updates-per-minute"};

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
    const std::string key = eq == std::string::npos ? "" : Trim(line.substr(0, eq));
    if (!kKnown.count(key) || key == "config") {
      error = path + ":" + std::to_string(number) + ": not an option line: " + line;
      return false;
    }
    values[key].push_back(Trim(line.substr(eq + 1)));
  }
  return true;
}

// The options that take a whole number, with the range each accepts.
struct NumberOption {
  const char* key;
  int min, max;
  int Options::*field;
};
constexpr NumberOption kNumberOptions[] = {
    {"ttl", 0, 86400, &Options::ttl},
    {"read-timeout", 1, 3600, &Options::readTimeout},
    {"max-per-peer", 1, 100000, &Options::maxPerPeer},
    {"max-connections", 1, 100000, &Options::maxConnections},
    {"max-creations-per-minute", 0, 1000000, &Options::maxCreationsPerMinute},
    {"max-names", 0, 100000000, &Options::maxNames},
    {"max-updates-per-minute", 0, 1000000, &Options::maxUpdatesPerMinute},
    {"threads", 1, 64, &Options::threads},
};

const NumberOption* FindNumberOption(const std::string& key) {
  for (const NumberOption& option : kNumberOptions) {
    if (key == option.key) return &option;
  }
  return nullptr;
}

bool Number(const std::string& key, const std::string& text, int min, int max, int& out, std::string& error) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno || end == text.c_str() || *end || value < min || value > max) {
    error = "--" + key + " wants a number from " + std::to_string(min) + " to " + std::to_string(max) +
            ", not \"" + text + "\"";
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

bool Apply(const Values& values, Options& o, std::string& error) {
  for (const auto& [key, list] : values) {
    const std::string& v = list.back();
    if (key == "listen" || key == "dns-server" || key == "metrics-listen") {
      for (const std::string& item : key == "listen" ? list : std::vector<std::string>{v}) {
        auto endpoint = ParseEndpoint(item);
        if (!endpoint) {
          error = "--" + key + " wants ADDR:PORT (IPv6 in brackets), not \"" + item + "\"";
          return false;
        }
        if (key == "listen")
          o.listen.push_back(*endpoint);
        else if (key == "dns-server")
          o.dnsServer = endpoint;
        else
          o.metricsListen = endpoint;
      }
    } else if (key == "store") {
      o.store = v;
    } else if (key == "zone") {
      o.zone = v;
      while (!o.zone.empty() && o.zone.back() == '.') o.zone.pop_back();
      for (char& c : o.zone) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (key == "tsig-key") {
      o.tsigKey = v;
    } else if (key == "trusted-proxy") {
      for (const std::string& item : list) {
        unsigned char buffer[16];
        if (::inet_pton(AF_INET, item.c_str(), buffer) != 1 &&
            ::inet_pton(AF_INET6, item.c_str(), buffer) != 1) {
          error = "--trusted-proxy wants an IP address, not \"" + item + "\"";
          return false;
        }
      }
      o.trustedProxies = list;
    } else if (key == "allow-host") {
      o.allowHosts = list;
    } else if (const NumberOption* number = FindNumberOption(key)) {
      if (!Number(key, v, number->min, number->max, o.*number->field, error)) return false;
    }
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, Options& o, std::string& error) {
  Values given;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      std::string key = arg.substr(2), value;
      std::size_t eq = key.find('=');
      if (eq != std::string::npos) {
        value = key.substr(eq + 1);
        key.resize(eq);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        error = arg + " wants a value";
        return false;
      }
      if (!kKnown.count(key)) {
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
  const bool takesArgument = o.command == "add" || o.command == "remove" || o.command == "import";
  if (!takesArgument && o.command != "serve" && o.command != "list") {
    error = "unknown command \"" + o.command + "\"";
    return false;
  }
  if (words.size() != (takesArgument ? 2u : 1u)) {
    error = takesArgument ? o.command + " takes one argument" : o.command + " takes no argument";
    return false;
  }
  if (takesArgument) o.argument = words[1];

  Values values;
  if (given.count("config") && !ReadConfig(given["config"].back(), values, error)) return false;
  // The command line wins, a repeatable option's whole list with it.
  for (auto& [key, list] : given) values[key] = list;
  if (!Apply(values, o, error)) return false;
  if (o.listen.empty()) o.listen = {*ParseEndpoint("0.0.0.0:80"), *ParseEndpoint("[::]:80")};
  if (!o.zone.empty() && (!o.dnsServer || o.tsigKey.empty())) {
    error = "--zone wants --dns-server and --tsig-key too";
    return false;
  }
  if (o.zone.empty() && (o.dnsServer || !o.tsigKey.empty())) {
    error = "--dns-server and --tsig-key go with --zone";
    return false;
  }
  return true;
}

}  // namespace qserver

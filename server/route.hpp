// What the HTTP side hands an endpoint and what it gets back, as values: one request, parsed
// by libmicrohttpd and nothing unescaped; one reply, with its outcome for the log and the count
// it adds to the metrics. Each endpoint is one file and one function of this shape.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/reply_words.hpp"
#include "server/log_sink.hpp"
#include "server/metrics.hpp"
#include "server/options.hpp"
#include "server/registry.hpp"
#include "server/sliding_window.hpp"

namespace qserver {

// The methods as bits, so that a route can name the ones it takes.
enum Method : unsigned { kGet = 1, kPost = 2, kOtherMethod = 4, kAnyMethod = 7 };
Method MethodOf(std::string_view name);

inline constexpr const char* kHtml = "text/html; charset=utf-8";
inline constexpr const char* kPlain = "text/plain; charset=utf-8";

struct Credentials {
  std::string user, password;
};

struct Request {
  Method method = kOtherMethod;
  std::string_view query;                  // after '?', as received
  std::string_view body;                   // a form, at most 1 KiB
  std::string peer;                        // the connection's address
  std::string client;                      // the peer's, or what a trusted proxy forwards
  std::optional<std::string_view> host;    // the Host header
  std::optional<Credentials> credentials;  // Basic authentication, for the routes that read it
};

struct Reply {
  int status = 200;
  std::string body;
  const char* type = kHtml;
  std::optional<quorvel::protocol::Status> word;  // the update page of this word, made once
  bool askCredentials = false;
  std::string outcome;  // the log line's end
  // What the request adds to quorvel_updates_total: none without a protocol.
  const char* protocol = nullptr;
  std::string result;
};

Reply ErrorReply(int status, std::string outcome);

// What the endpoints share: the services and this run's own state.
struct Site {
  const Options& options;
  Registry& registry;
  NameStore& store;
  LogSink& log;
  Metrics& metrics;
  std::vector<std::string> ownHosts;  // the Host values the creation page answers to
  std::string token;                  // the creation form's, this run's
  SlidingWindow creations;            // by peer key, a minute
  SlidingWindow creationsDaily;       // by peer key, a day: max-names / 100, 10 at least
  SlidingWindow failures;             // unknown identifiers by peer key, an hour
};

Reply UpdateEndpoint(Site& site, const Request& request);
Reply DynDns2Endpoint(Site& site, const Request& request);
Reply CreationEndpoint(Site& site, const Request& request);
Reply MetricsEndpoint(Site& site, const Request& request);

}  // namespace qserver

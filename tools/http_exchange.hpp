// What the reference server says to one request: parsing the request head, choosing the
// reply (update, creation page, errors) and the line it prints for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/id_store.hpp"

namespace refserver {

// Bounds that keep a hostile client from growing the server's memory.
inline constexpr std::size_t kMaxHeadBytes = 8192;
inline constexpr std::size_t kMaxBodyBytes = 1024;

struct RequestHead {
  std::string requestLine;
  std::string method;
  std::string target;  // everything between the method and the version, spaces included
  std::size_t contentLength = 0;
  bool hasContentLength = false;
  std::string host;  // the Host header, blanks trimmed
  bool hasHost = false;
};

enum class HeadStatus { kIncomplete, kComplete, kMalformed, kTooLarge };

// Looks for a whole head (ended by an empty line) in the bytes received so far. On
// kComplete, headLength is the number of bytes up to and including the empty line.
HeadStatus ParseHead(std::string_view received, RequestHead& head, std::size_t& headLength);

struct Reply {
  int status = 200;
  std::string body;     // HTML, UTF-8
  std::string outcome;  // a few words for the server's log line
};

// Any page a browser shows can post a form here, and each creation rewrites the store: an
// identifier is created only from this server's own form (its token, new on each start) under
// this server's own address (the Host header, against DNS rebinding), a few a minute per peer
// address, and up to a store size.
struct CreationRules {
  std::string token;               // the form's hidden "jeton" field
  std::vector<std::string> hosts;  // Host values the creation page answers to, e.g. 127.0.0.1:8080
  std::size_t perPeerPerMinute = 10;
  std::size_t maxIdentifiers = 10000;
};

class CreationGuard {
 public:
  using Clock = std::chrono::steady_clock;
  explicit CreationGuard(CreationRules rules) : rules_(std::move(rules)) {}
  const CreationRules& rules() const { return rules_; }

  bool IsOwnHost(const RequestHead& head) const;
  // Whether the form body's "jeton" field is this run's token.
  bool HasToken(std::string_view body) const;
  // Whether peerAddress has made fewer than the allowed creations over the last minute.
  bool UnderRate(const std::string& peerAddress, Clock::time_point now);
  void Count(const std::string& peerAddress, Clock::time_point now);

 private:
  CreationRules rules_;
  std::map<std::string, std::deque<Clock::time_point>> recent_;
};

// 128 random bits as 32 hex digits, for the creation form.
std::string NewFormToken();

// The answer to a complete request. body is what followed the head; peerAddress is the
// address the connection came from; now is the time stamp recorded with a "found" update.
Reply Answer(const RequestHead& head, std::string_view body, const std::string& peerAddress,
             const std::string& now, IdStore& store, CreationGuard& guard);

// The reply for a request that never became one (malformed, too large, too slow).
Reply ErrorReply(int status, std::string outcome);

// The whole HTTP/1.0 response: status line, headers, body.
std::string Serialize(const Reply& reply);

// The request line as it may safely appear in a terminal: control and non-ASCII bytes as
// \xHH, quotes and backslashes escaped, at most 200 characters.
std::string PrintableRequestLine(std::string_view line);

// The current time, UTC, ISO 8601 to the second.
std::string UtcNow();

}  // namespace refserver

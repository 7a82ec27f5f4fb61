// What the reference server says to one request: parsing the request head, choosing the
// reply (update, creation page, errors) and the line it prints for it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The answer to a complete request. peerAddress is the address the connection came from;
// now is the time stamp recorded with a "found" update.
Reply Answer(const RequestHead& head, const std::string& peerAddress, const std::string& now,
             IdStore& store);

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

// The text of one update: the request the client sends and the status word it reads from
// the server's reply. Pure functions without state.
#pragma once

#include <string>

#include "protocol/reply_words.hpp"

namespace quorvelmod {

// The marker and the status words, as wide text (protocol/reply_words.hpp spells them).
inline constexpr const auto& kReplyMarker = quorvel::protocol::kReplyMarker.wide;
inline constexpr const auto& kStatusFound = quorvel::protocol::kFound.wide;
inline constexpr const auto& kStatusNotFound = quorvel::protocol::kNotFound.wide;
inline constexpr const auto& kStatusIncorrect = quorvel::protocol::kIncorrect.wide;
inline constexpr const auto& kStatusDenied = quorvel::protocol::kDenied.wide;

// An HTTP/1.0 request, lines ended by CR LF. For "GET" the data (with its own leading
// "?") follows the page in the request line; any other method is sent as a form POST.
std::wstring BuildHttpRequest(const std::wstring& host, const std::wstring& data, const std::wstring& page,
                              const std::wstring& method);

// Reduces a whole reply (status line, headers and body) to the word after the marker,
// or "denied" when there is no marker, nothing after it, or an overload notice.
std::wstring ParseServerReply(const std::wstring& reply);

}  // namespace quorvelmod

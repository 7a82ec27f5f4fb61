// The text of one update: the request the client sends and the status word it reads from
// the server's reply. Pure functions without state.
#pragma once

#include <string>

namespace quorvelmod {

// The text that follows it in the reply body is the server's status word.
inline constexpr wchar_t kReplyMarker[] = L"<!-- OSKEL_START_HTML -->";

// Status words the client acts on; "denied" is also the client's own word for a reply
// it cannot use.
inline constexpr wchar_t kStatusFound[] = L"found";
inline constexpr wchar_t kStatusNotFound[] = L"notfound";
inline constexpr wchar_t kStatusIncorrect[] = L"incorrect";
inline constexpr wchar_t kStatusDenied[] = L"denied";

// An HTTP/1.0 request, lines ended by CR LF. For "GET" the data (with its own leading
// "?") follows the page in the request line; any other method is sent as a form POST.
std::wstring BuildHttpRequest(const std::wstring& host, const std::wstring& data, const std::wstring& page,
                              const std::wstring& method);

// Reduces a whole reply (status line, headers and body) to the word after the marker,
// or "denied" when there is no marker, nothing after it, or an overload notice.
std::wstring ParseServerReply(const std::wstring& reply);

}  // namespace quorvelmod

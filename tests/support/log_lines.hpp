// The activity log's text as the tests read it: lines ended by CR LF, each a time stamp
// "hh:mm:ss", two spaces, then the message.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_test {

// The message of one line of the log, without its time stamp.
inline std::wstring LogMessage(std::wstring_view line) {
  const size_t separator = line.find(L"  ");
  return std::wstring(separator == std::wstring_view::npos ? line : line.substr(separator + 2));
}

// The log's messages in order, without their time stamps.
inline std::vector<std::wstring> LogMessages(const std::wstring& text) {
  std::vector<std::wstring> messages;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    if (end > start) messages.push_back(LogMessage(text.substr(start, end - start)));
    start = end + 2;
  }
  return messages;
}

inline bool HasLogMessage(const std::wstring& text, const std::wstring& message) {
  const auto messages = LogMessages(text);
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace quorvel_test

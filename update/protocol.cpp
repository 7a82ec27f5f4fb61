#include "update/protocol.hpp"

#include <string_view>

#include "common/text.hpp"

namespace quorvelmod {
namespace {

void RemoveAll(std::wstring& text, std::wstring_view what) {
  std::wstring out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, from)) {
    out.append(text, from, at - from);
    from = at + what.size();
  }
  out.append(text, from, std::wstring::npos);
  text.swap(out);
}

}  // namespace

std::wstring BuildHttpRequest(const std::wstring& host, const std::wstring& data, const std::wstring& page,
                              const std::wstring& method) {
  const bool get = method == L"GET";
  std::wstring request;
  request.reserve(64 + host.size() + data.size() + page.size());
  if (get) {
    request += L"GET " + page + data + L" HTTP/1.0\r\n";
  } else {
    request += L"POST " + page + L" HTTP/1.0\r\n";
  }
  request += L"Host: " + host + L"\r\n";
  if (get) {
    request += L"\r\n";
  } else {
    request += L"Content-Type: application/x-www-form-urlencoded\r\n";
    request += L"Content-length: " + quorvel::DecimalText(static_cast<long long>(data.size())) + L"\r\n\r\n";
    request += data;
  }
  return request;
}

std::wstring ParseServerReply(const std::wstring& reply) {
  std::wstring text = quorvel::TrimSpaces(reply);
  // Line ends go before the split: the whole reply becomes one line.
  RemoveAll(text, L"\n");
  RemoveAll(text, L"\r");

  const std::wstring_view marker = kReplyMarker;
  const size_t first = text.find(marker);
  if (first == std::wstring::npos) return kStatusDenied;

  const size_t start = first + marker.size();
  const size_t second = text.find(marker, start);
  const size_t end = second == std::wstring::npos ? text.size() : second;
  std::wstring word = quorvel::TrimSpaces(std::wstring_view(text).substr(start, end - start));

  if (word.empty() || word.find(L"overload") != std::wstring::npos) return kStatusDenied;
  return word;
}

}  // namespace quorvelmod

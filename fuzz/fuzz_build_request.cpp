// Any identifier, host or page: the request is well framed and carries them unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "update/protocol.hpp"

namespace {
// Splits the input at its first three NUL bytes into host, data, page and method.
std::wstring Next(std::string_view& rest) {
  const size_t cut = rest.find('\0');
  const std::string_view piece = rest.substr(0, cut);
  rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  return quorvel::FromAnsi(piece);
}
bool StartsWith(const std::wstring& s, const std::wstring& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::wstring& s, const std::wstring& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::wstring host = Next(rest);
  const std::wstring body = Next(rest);
  const std::wstring page = Next(rest);
  const std::wstring method = Next(rest);

  const std::wstring request = quorvelmod::BuildHttpRequest(host, body, page, method);
  const std::wstring hostLine = L"Host: " + host + L"\r\n";
  if (method == L"GET") {
    if (!StartsWith(request, L"GET " + page + body + L" HTTP/1.0\r\n" + hostLine)) std::abort();
    if (!EndsWith(request, L"\r\n\r\n")) std::abort();
    if (request.size() != 4 + page.size() + body.size() + 11 + hostLine.size() + 2) std::abort();
  } else {
    if (!StartsWith(request, L"POST " + page + L" HTTP/1.0\r\n" + hostLine)) std::abort();
    const std::wstring length = L"Content-length: " + std::to_wstring(body.size()) + L"\r\n\r\n";
    if (!EndsWith(request, length + body)) std::abort();
  }
  (void)quorvel::ToAnsi(request);
  return 0;
}

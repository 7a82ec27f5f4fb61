// Any bytes a server may send: the reply parser must give one usable word or "denied".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "update/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring reply = quorvel::FromAnsi(bytes);
  const std::wstring word = quorvelmod::ParseServerReply(reply);

  if (word.empty()) std::abort();
  if (word.find_first_of(L"\r\n") != std::wstring::npos) std::abort();
  if (word.front() == L' ' || word.back() == L' ') std::abort();
  if (word.find(quorvelmod::kReplyMarker) != std::wstring::npos) std::abort();
  if (word != quorvelmod::kStatusDenied && word.find(L"overload") != std::wstring::npos) std::abort();
  // Without a marker anywhere (line ends aside) there is nothing to read.
  std::wstring joined;
  for (const wchar_t c : reply)
    if (c != L'\r' && c != L'\n') joined += c;
  if (joined.find(quorvelmod::kReplyMarker) == std::wstring::npos && word != quorvelmod::kStatusDenied)
    std::abort();
  // The bytes of the reply survive the trip back to the code page.
  (void)quorvel::ToAnsi(reply);
  return 0;
}

// Any query string or form body: the fields and their unescaping never read past the text, an
// unescaped value is never longer than what it came from, and the log's request line keeps
// the method and version around whatever the URI holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/query.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string unescaped = qserver::Unescape(text);
  if (unescaped.size() > text.size()) std::abort();
  if (text.find_first_of("%+") == std::string_view::npos && unescaped != text) std::abort();
  for (const char* name : {"hostname", "myip", "nom", "jeton", "ip_key"}) {
    bool found = false;
    const std::string value = qserver::Field(text, name, &found);
    if (value.size() > text.size() || (!found && !value.empty())) std::abort();
    if (found && text.find(std::string(name) + "=") == std::string_view::npos) std::abort();
  }
  const std::string lower = qserver::Lower(text);
  if (lower.size() != text.size() || !qserver::EqualsNoCase(lower, text)) std::abort();
  const std::string line = qserver::MaskedLine("GET", std::string(text), "HTTP/1.0");
  if (line.rfind("GET ", 0) != 0 || line.size() < 13 || line.compare(line.size() - 9, 9, " HTTP/1.0") != 0)
    std::abort();
  return 0;
}

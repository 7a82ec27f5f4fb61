// Any bytes found in the settings file: reading never fails, and what was read is written back
// so that reading it again gives the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "settings/file_store_format.hpp"
#include "settings/stored_value.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<quorvel::StoredValue> values = quorvel::ParseStoreText(text);

  // Every value read comes from one whole line.
  size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  if (values.size() > lines) std::abort();

  const std::string written = quorvel::FormatStoreText(values);
  // What the store writes is one value per line after the header, and nothing cut short.
  if (written.empty() || written.back() != '\n') std::abort();
  size_t writtenLines = 0;
  for (const char c : written) writtenLines += c == '\n';
  if (writtenLines != values.size() + 1) std::abort();

  if (quorvel::ParseStoreText(written) != values) std::abort();
  // Writing is stable: the second time gives the same bytes.
  if (quorvel::FormatStoreText(quorvel::ParseStoreText(written)) != written) std::abort();

  // Each value reads back as text by the same rules as a registry value.
  for (const auto& value : values) {
    const std::wstring read = quorvel::TextFromStoredValue(value.type, value.data, L"<default>");
    if (value.data.size() > quorvel::kReadBufferSize && read != L"<default>") std::abort();
    if (read.find(L'\0') != std::wstring::npos) std::abort();
  }
  return 0;
}

#include "settings/stored_value.hpp"

#include "common/text.hpp"

namespace quorvel {

std::wstring TextFromStoredValue(std::uint32_t type, std::string_view data,
                                 const std::wstring& defaultValue) {
  if (data.size() > kReadBufferSize) return defaultValue;
  switch (type) {
    case kTypeString:
    case kTypeExpandString: {
      // A value stored without its terminating zero is still whole text.
      const auto zero = data.find('\0');
      return FromAnsi(data.substr(0, zero));
    }
    case kTypeDword: {
      if (data.size() != 4) return {};
      std::uint32_t number = 0;
      for (int i = 3; i >= 0; --i) {
        number = (number << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
      }
      return DecimalText(number);
    }
    default:
      return {};
  }
}

}  // namespace quorvel

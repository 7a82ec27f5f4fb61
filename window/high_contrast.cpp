#include "window/high_contrast.hpp"

#include <windows.h>

namespace quorvel {

bool HighContrastOn() {
  // Test-only switch: Wine cannot turn high contrast on, so the tests set
  // QUORVEL_TEST_HIGH_CONTRAST to "1" or "0" in their own process to stand in for the system's
  // answer. Read at each query, so that a test can switch it while the window runs.
  wchar_t test[2] = L"";
  if (GetEnvironmentVariableW(L"QUORVEL_TEST_HIGH_CONTRAST", test, 2) == 1) return test[0] == L'1';
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof contrast;
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
         (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace quorvel

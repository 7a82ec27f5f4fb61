#include "support/platform_connection.hpp"

#ifdef _WIN32
#include "support/message_pump.hpp"
#else
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <vector>
#endif

namespace quorvel_test {

#ifdef _WIN32
bool PumpUntil(PlatformConnection&, const std::function<bool()>& done, int milliseconds,
               int stepMilliseconds) {
  // The connection's events are messages to its window on this thread.
  return PumpUntil(done, milliseconds, stepMilliseconds);
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }
#else
// quorveld's loop in small: poll the connection's descriptors, then let it deliver.
bool PumpUntil(PlatformConnection& connection, const std::function<bool()>& done, int milliseconds,
               int stepMilliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::vector<pollfd> fds;
  for (;;) {
    if (done()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    fds.clear();
    connection.AddPollFds(fds);
    const int wait =
        connection.PollTimeout() == 0 ? 0 : static_cast<int>(std::min<long long>(left, stepMilliseconds));
    poll(fds.data(), fds.size(), wait);
    connection.Dispatch(fds);
  }
}

bool UnderWine() { return false; }
#endif

void PumpFor(PlatformConnection& connection, int milliseconds) {
  PumpUntil(
      connection, [] { return false; }, milliseconds);
}

}  // namespace quorvel_test

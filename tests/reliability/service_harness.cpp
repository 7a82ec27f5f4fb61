#include "service_harness.hpp"

#ifdef _WIN32
#include <psapi.h>
#else
#include <fstream>
#endif

#include <algorithm>

#include "common/text.hpp"
#include "support/log_lines.hpp"

namespace quorvel_test {

namespace {

quorvel::TimeOfDay FixedTime() { return {12, 0, 0}; }

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Found:
      return "found";
    case Outcome::Failed:
      return "failure lines";
    default:
      return "no outcome";
  }
}

ServiceHarness::ServiceHarness(const std::wstring& host, int port)
    : log(FixedTime), service(*this, connection, log, L"C:\\Quorvel\\quorvel.exe") {
  log.SetListener([this](const std::wstring& text, std::wstring_view line) {
    lines.push_back(LogMessage(line));
    // The cap is tested before each append: what came before this line stays within it.
    const size_t end = text.rfind(L"\r\n");
    const size_t before = end == std::wstring::npos ? 0 : end;
    if (before > quorvel::ActivityLog::kCap) ++capOverruns;
  });
  connection.SetEvents(&service);
  connection.SetRemoteHost(host);
  connection.SetRemotePort(port);
  service.RestoreServiceState(true, 900);
}

ServiceHarness::~ServiceHarness() { connection.SetEvents(nullptr); }

void ServiceHarness::Pump(int milliseconds) { PumpFor(connection, milliseconds); }

void ServiceHarness::StartUpdateByCountdown() {
  updateStart_ = lines.size();
  service.SecondsLeft = 1;
  service.Timer2_Timer();
}

Outcome ServiceHarness::OutcomeSince(size_t first) const {
  for (size_t i = first; i < lines.size(); ++i) {
    if (lines[i] == kSuccessLine) return Outcome::Found;
    if (lines[i] == kRetryLine) return Outcome::Failed;
  }
  return Outcome::None;
}

Outcome ServiceHarness::FinishUpdate(int tickMilliseconds, int maxTicks, int* ticksTaken) {
  int ticks = 0;
  for (;;) {
    PumpUntil(
        connection, [&] { return OutcomeSince(updateStart_) != Outcome::None; }, tickMilliseconds, 5);
    const Outcome outcome = OutcomeSince(updateStart_);
    if (outcome != Outcome::None || ticks >= maxTicks) {
      if (ticksTaken != nullptr) *ticksTaken = ticks;
      return outcome;
    }
    service.Timer2_Timer();
    ++ticks;
  }
}

Outcome ServiceHarness::RunUpdate(int tickMilliseconds, int maxTicks, int* ticksTaken) {
  StartUpdateByCountdown();
  return FinishUpdate(tickMilliseconds, maxTicks, ticksTaken);
}

std::vector<std::wstring> ServiceHarness::LinesOfLastUpdate() const {
  return {lines.begin() + static_cast<std::ptrdiff_t>(updateStart_), lines.end()};
}

size_t ServiceHarness::CountInLastUpdate(const std::wstring& prefix) const {
  size_t count = 0;
  for (size_t i = updateStart_; i < lines.size(); ++i) count += StartsWith(lines[i], prefix);
  return count;
}

long long ServiceHarness::BytesReportedInLastUpdate() const {
  long long total = 0;
  const std::wstring prefix = kReceivedPrefix;
  for (size_t i = updateStart_; i < lines.size(); ++i) {
    if (StartsWith(lines[i], prefix)) total += std::wcstoll(lines[i].c_str() + prefix.size(), nullptr, 10);
  }
  return total;
}

std::string ServiceHarness::LastUpdateText() const {
  std::string text;
  for (const auto& line : LinesOfLastUpdate()) text += "  " + Utf8(line) + "\n";
  return text;
}

#ifdef _WIN32
unsigned long long PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    return 0;
  }
  // Wine leaves PrivateUsage at 0; its PagefileUsage is the process's committed memory.
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

std::string MemoryReport() {
  PROCESS_MEMORY_COUNTERS_EX c{};
  c.cb = sizeof c;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c);
  return "private " + std::to_string(c.PrivateUsage) + ", pagefile " + std::to_string(c.PagefileUsage) +
         ", working set " + std::to_string(c.WorkingSetSize);
}

#else
namespace {

// A field of /proc/self/status in bytes (its figures are in kB).
unsigned long long StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  unsigned long long kilobytes = 0;
  while (status >> name) {
    if (name == field + ":" && status >> kilobytes) return kilobytes * 1024;
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

}  // namespace

// The anonymous memory the process holds: what a reply kept in memory would grow.
unsigned long long PrivateBytes() { return StatusBytes("RssAnon"); }

std::string MemoryReport() {
  return "anonymous " + std::to_string(StatusBytes("RssAnon")) + ", resident " +
         std::to_string(StatusBytes("VmRSS"));
}

// Without code pages the program's own conversion gives UTF-8.
std::string Utf8(const std::wstring& text) { return quorvel::ToAnsi(text); }
#endif

}  // namespace quorvel_test

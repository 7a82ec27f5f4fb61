#include "service_harness.hpp"

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace quorvel_test {

namespace {

quorvel::TimeOfDay FixedTime() { return {12, 0, 0}; }

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Found: return "found";
    case Outcome::Failed: return "failure lines";
    default: return "no outcome";
  }
}

ServiceHarness::ServiceHarness(const std::wstring& host, int port)
    : log(FixedTime), service(*this, winsock, log, L"C:\\Quorvel\\quorvel.exe") {
  log.SetListener([this](const std::wstring& text) {
    // Each write appends exactly one line: the text after the last line end.
    const size_t end = text.rfind(L"\r\n");
    const size_t start = end == std::wstring::npos ? 0 : end + 2;
    constexpr size_t kTimeWidth = 10;  // "hh:mm:ss  "
    lines.push_back(text.substr(std::min(text.size(), start + kTimeWidth)));
    // The cap is tested before each append: what came before this line stays within it.
    const size_t before = end == std::wstring::npos ? 0 : end;
    if (before > quorvel::ActivityLog::kCap) ++capOverruns;
  });
  winsock.SetEvents(&service);
  winsock.SetRemoteHost(host);
  winsock.SetRemotePort(port);
  service.RestoreServiceState(true);
}

ServiceHarness::~ServiceHarness() { winsock.SetEvents(nullptr); }

void ServiceHarness::Pump(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
  }
}

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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(tickMilliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (OutcomeSince(updateStart_) != Outcome::None) break;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
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

unsigned long HandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
  // Wine answers 0 above; the system's handle table still tells which handles are ours.
  struct Entry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  constexpr ULONG kSystemHandleInformation = 16;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ULONG length = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &length);
    if (status == 0) break;
    if (buffer.size() >= (64u << 20)) return 0;
    buffer.resize(std::max<size_t>(buffer.size() * 2, length));
  }
  ULONG entries = 0;
  std::memcpy(&entries, buffer.data(), sizeof entries);
  const char* first = buffer.data() + sizeof(void*);
  unsigned long mine = 0;
  for (ULONG i = 0; i < entries; ++i) {
    Entry entry;
    std::memcpy(&entry, first + i * sizeof(Entry), sizeof entry);
    mine += entry.ownerPid == GetCurrentProcessId();
  }
  return mine;
}

unsigned long long PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
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

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

}  // namespace quorvel_test

// The Windows-side launcher of the benchmark: starts quorvel.exe and the floor window the same
// way, times each from CreateProcess to its window shown (for quorvel, with the banner in its
// log box), reads private memory and handle counts, and the CPU time used while idle.
//
//   bench_launcher startup RUNS QUORVEL_EXE FLOOR_EXE [FLOOR_WITH_IMPORTS_EXE]
//   bench_launcher idle SECONDS QUORVEL_EXE FLOOR_EXE IDENTIFIER
//
// Prints "metric NAME VALUE" lines for bench/run.sh, and one line per run for the record.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/footprint.hpp"
#include "bench/measure.hpp"
#include "settings/settings.hpp"

namespace {

constexpr wchar_t kBanner[] = L"Quorvel Version 2.0 - ";
constexpr DWORD kReadyTimeoutMs = 30000;

using bench::Median;
using bench::Metric;
using bench::NowMs;
using quorvelmod::kAutostartValue;
using quorvelmod::kIdentifierValue;
using quorvelmod::kIntervalValue;
using quorvelmod::kRunKey;
using quorvelmod::kSettingsKey;

struct Target {
  const char* name;  // for the metric names: "quorvel" or "floor"
  std::wstring path;
  std::wstring arguments;
  const wchar_t* windowClass;
  bool waitForBanner;  // quorvel: its log box must hold the banner line
  bool mustBeVisible;
};

struct Search {
  DWORD process;
  const wchar_t* windowClass;
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process) return TRUE;
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (std::wcscmp(name, search->windowClass) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

BOOL CALLBACK FindLogBox(HWND child, LPARAM context) {
  wchar_t name[16] = {};
  GetClassNameW(child, name, 16);
  if (_wcsicmp(name, L"Edit") == 0 && (GetWindowLongPtrW(child, GWL_STYLE) & ES_MULTILINE)) {
    *reinterpret_cast<HWND*>(context) = child;
    return FALSE;
  }
  return TRUE;
}

HWND MainWindow(DWORD process, const wchar_t* windowClass) {
  Search search{process, windowClass, nullptr};
  EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The window's text through its own message loop: an answer means the program is running it.
bool TextThroughLoop(HWND window, std::wstring& text) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return false;
  std::vector<wchar_t> buffer(length + 1);
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, 5000, &copied)) {
    return false;
  }
  text.assign(buffer.data(), std::min<size_t>(copied, length));
  return true;
}

bool Ready(const Target& target, HWND window, std::wstring* log) {
  if (target.mustBeVisible && !IsWindowVisible(window)) return false;
  HWND probe = window;
  if (target.waitForBanner) {
    HWND box = nullptr;
    EnumChildWindows(window, FindLogBox, reinterpret_cast<LPARAM>(&box));
    if (!box) return false;
    probe = box;
  }
  std::wstring text;
  if (!TextThroughLoop(probe, text)) return false;
  if (log) *log = text;
  return !target.waitForBanner || text.find(kBanner) != std::wstring::npos;
}

struct Running {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
  double readyMs = -1;  // from CreateProcess to ready; -1 if it never became ready
};

Running Start(const Target& target) {
  Running run;
  std::wstring command = L"\"" + target.path + L"\"" + target.arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  const double start = NowMs();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &run.process)) {
    std::fprintf(stderr, "cannot start %ls (%lu)\n", target.path.c_str(), GetLastError());
    return run;
  }
  while (NowMs() - start < kReadyTimeoutMs) {
    if (!run.window) run.window = MainWindow(run.process.dwProcessId, target.windowClass);
    if (run.window && Ready(target, run.window, nullptr)) {
      run.readyMs = NowMs() - start;
      break;
    }
    // Doubles as the 1 ms pause between polls.
    if (WaitForSingleObject(run.process.hProcess, 1) == WAIT_OBJECT_0) break;
  }
  if (run.readyMs < 0) {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(run.process.hProcess, &code);
    std::fprintf(stderr, "%s: window %p, visible %d, exit code %lu\n", target.name,
                 static_cast<void*>(run.window), run.window ? IsWindowVisible(run.window) : 0, code);
  }
  return run;
}

void Stop(Running& run) {
  if (!run.process.hProcess) return;
  if (run.window) PostMessageW(run.window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(run.process.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(run.process.hProcess, 1);
    WaitForSingleObject(run.process.hProcess, 5000);
  }
  CloseHandle(run.process.hThread);
  CloseHandle(run.process.hProcess);
  run.process = {};
}

double CpuMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  const auto ticks = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 10000.0;
}

void SetValue(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void ClearSettings() {
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kIdentifierValue);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kIntervalValue);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kAutostartValue);
}

// The TLS DLLs among a running program's modules (Toolhelp's list, which Wine keeps too), by
// name: a program started with a plain server must not have loaded them.
std::wstring TlsModules(DWORD process) {
  static const wchar_t* const kTls[] = {L"secur32.dll", L"crypt32.dll", L"schannel.dll", L"sspicli.dll"};
  std::wstring found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
  if (snapshot == INVALID_HANDLE_VALUE) return L"?";
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module)) {
    for (const wchar_t* name : kTls) {
      if (lstrcmpiW(module.szModule, name) == 0) found += (found.empty() ? L"" : L",") + std::wstring(name);
    }
  }
  CloseHandle(snapshot);
  return found;
}

Target QuorvelTarget(const wchar_t* path) { return {"quorvel", path, L"", L"quorvelmain", true, true}; }
Target FloorTarget(const wchar_t* path) { return {"floor", path, L"", L"QuorvelFloor", false, true}; }

// Start-up, runs interleaved; memory and handles half a second after each start. Besides the
// plain floor, the floor with quorvel.exe's imports and manifest, when given, tells how much
// of the difference those two make.
int StartupBench(int runs, const wchar_t* quorvelPath, const wchar_t* floorPath,
                 const wchar_t* floorImportsPath) {
  ClearSettings();
  std::vector<Target> targets = {FloorTarget(floorPath), QuorvelTarget(quorvelPath)};
  if (floorImportsPath) {
    targets.push_back(FloorTarget(floorImportsPath));
    targets.back().name = "floor_imports";
  }
  const size_t count = targets.size();
  std::vector<std::vector<double>> times(count), memory(count), handles(count);
  // Runs of each program that had a TLS DLL loaded half a second after its start.
  std::vector<int> tlsLoaded(count);
  // One start of each first, not counted: it loads Wine's own files into the page cache.
  for (const Target& target : targets) {
    Running warm = Start(target);
    Stop(warm);
  }
  for (int i = 0; i < runs; ++i) {
    for (size_t t = 0; t < count; ++t) {
      Running run = Start(targets[t]);
      if (run.readyMs < 0) {
        std::fprintf(stderr, "%s did not become ready\n", targets[t].name);
        Stop(run);
        return 1;
      }
      Sleep(500);
      const bench::Footprint footprint = bench::FootprintOf(run.process.hProcess);
      const std::wstring tls = TlsModules(run.process.dwProcessId);
      Stop(run);
      if (!tls.empty()) {
        ++tlsLoaded[t];
        std::printf("run %d %s has TLS modules loaded: %ls\n", i + 1, targets[t].name, tls.c_str());
      }
      times[t].push_back(run.readyMs);
      memory[t].push_back(footprint.privateKb);
      handles[t].push_back(footprint.handles);
      std::printf("run %d %s start %.1f ms, private %.0f KB, handles %.0f\n", i + 1, targets[t].name,
                  run.readyMs, footprint.privateKb, footprint.handles);
      std::fflush(stdout);
    }
  }
  for (size_t t = 0; t < count; ++t) {
    const std::string name = targets[t].name;
    Metric((name + "_start_ms").c_str(), Median(times[t]));
    Metric((name + "_start_min_ms").c_str(), *std::min_element(times[t].begin(), times[t].end()));
    Metric((name + "_start_private_kb").c_str(), Median(memory[t]));
    Metric((name + "_start_handles").c_str(), Median(handles[t]));
    Metric((name + "_start_tls_loaded_runs").c_str(), tlsLoaded[t]);
  }
  Metric("start_runs", runs);
  return 0;
}

// Idle: quorvel started at logon with the service active and a one-hour interval, beside the
// idle floor window; CPU time over the same seconds. The logon start updates 10 s after the
// start: the period begins once that update has been answered (by a server that knows the
// identifier, or a failure would bring the minute's retry into the period), so that no update
// falls in it.
int IdleBench(int seconds, const wchar_t* quorvelPath, const wchar_t* floorPath, const wchar_t* identifier) {
  ClearSettings();
  SetValue(kSettingsKey, kIdentifierValue, identifier);
  SetValue(kSettingsKey, kIntervalValue, L"3600");
  SetValue(kRunKey, kAutostartValue, L"\"" + std::wstring(quorvelPath) + L"\" -wiper");
  Target quorvel = QuorvelTarget(quorvelPath);
  quorvel.arguments = L" -wiper";
  quorvel.mustBeVisible = false;  // the logon start hides it 100 ms after start
  Running runs[2] = {Start(quorvel), Start(FloorTarget(floorPath))};
  int status = 0;
  if (runs[0].readyMs < 0 || runs[1].readyMs < 0) {
    std::fprintf(stderr, "a program did not become ready\n");
    status = 1;
  }
  Sleep(2000);  // past the logon start's hiding, and settled
  std::wstring log;
  if (status == 0 &&
      (!Ready(quorvel, runs[0].window, &log) || log.find(L"Le service est activé.") == std::wstring::npos)) {
    std::fprintf(stderr, "quorvel did not start with the service active\n");
    status = 1;
  }
  for (int waited = 0; status == 0 && log.find(L"Identifiant mis à jour avec succès.") == std::wstring::npos;
       waited += 250) {
    if (waited > 30000) {
      std::fprintf(stderr, "quorvel's first update after the logon start was not answered \"found\"\n");
      status = 1;
      break;
    }
    Sleep(250);
    Ready(quorvel, runs[0].window, &log);
  }
  if (status == 0) {
    // bench/run.sh reads the CPU time from Linux over the same period: it starts on this line
    // and takes the given seconds; the margin keeps both programs up until it is done.
    std::printf("idle-begin %d\n", seconds);
    std::fflush(stdout);
    const double start = NowMs();
    const double before[2] = {CpuMs(runs[0].process.hProcess), CpuMs(runs[1].process.hProcess)};
    Sleep(static_cast<DWORD>(seconds) * 1000 + 2000);
    const double after[2] = {CpuMs(runs[0].process.hProcess), CpuMs(runs[1].process.hProcess)};
    const double elapsed = NowMs() - start;
    const bench::Footprint footprint = bench::FootprintOf(runs[0].process.hProcess);
    std::wstring laterLog;
    Ready(quorvel, runs[0].window, &laterLog);
    // What Windows itself reports for the two processes (Wine: nothing for another process).
    Metric("win_idle_seconds", elapsed / 1000.0);
    Metric("win_quorvel_idle_cpu_ms", after[0] - before[0]);
    Metric("win_floor_idle_cpu_ms", after[1] - before[1]);
    Metric("quorvel_idle_private_kb", footprint.privateKb);
    Metric("quorvel_idle_handles", footprint.handles);
    // The service must have stayed active and quiet: no update ran in the period.
    Metric("quorvel_idle_log_unchanged", laterLog == log ? 1 : 0);
  }
  Stop(runs[0]);
  Stop(runs[1]);
  ClearSettings();
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if ((argc == 5 || argc == 6) && std::wcscmp(argv[1], L"startup") == 0) {
    return StartupBench(std::max(1, _wtoi(argv[2])), argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  }
  if (argc == 6 && std::wcscmp(argv[1], L"idle") == 0) {
    return IdleBench(std::max(1, _wtoi(argv[2])), argv[3], argv[4], argv[5]);
  }
  std::fprintf(stderr,
               "usage: bench_launcher startup RUNS QUORVEL_EXE FLOOR_EXE\n"
               "       bench_launcher idle SECONDS QUORVEL_EXE FLOOR_EXE IDENTIFIER\n");
  return 2;
}

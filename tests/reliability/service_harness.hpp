// The real update service on the real connection, as the main window (Winsock, window
// messages) or quorveld (POSIX sockets, one poll loop) holds them, with a small view in place of
// the window. The test thread is the program's thread: it pumps the connection's events and
// plays the countdown by calling Timer2_Timer.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/activity_log.hpp"
#include "update/update_service.hpp"
#include "support/platform_connection.hpp"
#ifdef _WIN32
#include "support/handle_count.hpp"
#include "support/window_text.hpp"  // Utf8
#endif

namespace quorvel_test {

#ifndef _WIN32
// The log's text for a failure message (the lines are ASCII but for a few accents).
std::string Utf8(const std::wstring& text);
#endif

inline constexpr wchar_t kSuccessLine[] = L"Identifiant mis à jour avec succès.";
inline constexpr wchar_t kFailureLine[] = L"Impossible de se connecter au serveur maitre.";
inline constexpr wchar_t kRetryLine[] = L"Retentera dans 60 secondes.";
inline constexpr wchar_t kSentLine[] = L"Envoie de la requête effectué.";
inline constexpr wchar_t kConnectedPrefix[] = L"Envoie de votre adresse IP ( identifiant: ";
inline constexpr wchar_t kReceivedPrefix[] = L"Reception des données (";

enum class Outcome { None, Found, Failed };
const char* OutcomeName(Outcome outcome);

class ServiceHarness final : public quorvel::ServiceView {
 public:
  ServiceHarness(const std::wstring& host, int port);
  ~ServiceHarness() override;

  // ServiceView: the identifier and row 0 (one minute), so a tick never ends the countdown
  // by itself during an update.
  std::wstring IdentifierText() const override { return identifier; }
  int SelectedIntervalRow() const override { return 0; }
  void ShowServiceState(bool active) override { shownActive = active; }
  void ShowMessage(const std::wstring& text, quorvel::MessageIcon) override { messages.push_back(text); }

  // Drops the lines kept so far (a long run keeps only the current update's).
  void ForgetLines() {
    lines.clear();
    updateStart_ = 0;
  }

  // Starts an update the way the countdown does: SecondsLeft brought to 1, then one tick.
  void StartUpdateByCountdown();
  // Pumps messages and ticks the countdown every tickMilliseconds until the update started
  // last reaches an outcome or maxTicks ticks have passed. ticksTaken: ticks it needed.
  Outcome FinishUpdate(int tickMilliseconds, int maxTicks, int* ticksTaken = nullptr);
  // StartUpdateByCountdown then FinishUpdate.
  Outcome RunUpdate(int tickMilliseconds, int maxTicks, int* ticksTaken = nullptr);
  // Delivers the connection's events for a while.
  void Pump(int milliseconds);

  // Lines written since the last update started (messages only, without the time).
  std::vector<std::wstring> LinesOfLastUpdate() const;
  size_t CountInLastUpdate(const std::wstring& prefix) const;
  // Bytes reported by the "Reception des données (N bytes)..." lines of the last update.
  long long BytesReportedInLastUpdate() const;
  std::string LastUpdateText() const;

  std::wstring identifier = L"abc123";
  bool shownActive = false;
  std::vector<std::wstring> messages;
  // Every line ever written, in order, whatever the log's cap discarded since.
  std::vector<std::wstring> lines;
  // Writes after which the log held more than its cap plus the line just written.
  int capOverruns = 0;

  quorvel::ActivityLog log;
  PlatformConnection connection;
  quorvel::UpdateService service;

 private:
  Outcome OutcomeSince(size_t first) const;
  size_t updateStart_ = 0;
};

// The process's private bytes, as the system counts them.
unsigned long long PrivateBytes();
std::string MemoryReport();

}  // namespace quorvel_test

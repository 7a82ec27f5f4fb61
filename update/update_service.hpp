// Service control and update exchange: switching the service on and off, the one-second
// countdown, and the handlers of the connection's events for one update.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>

#include "log/activity_log.hpp"
#include "update/connection.hpp"

namespace quorvel {

// Message box icons, with the style numbers the boxes are known by.
enum class MessageIcon { Error = 16, Warning = 48 };

// How an update ended, for a program that acts on it (the daemon's exit status, its state file).
enum class UpdateResult {
  kFound,              // "Identifiant mis à jour avec succès."
  kUnknownIdentifier,  // "Cet identifiant n'existe pas ! Abbandon..."
  kFailed,             // the two failure lines
  kNoStatus,           // a reply with a word the program does not act on: no line
};

// Why an update failed.
enum class FailureCause {
  kNone,
  kConnection,     // no connection, or it broke: the connection knows more
  kNoAnswer,       // no outcome within the update's time limit
  kNoMarker,       // a reply without the marker, or nothing after it
  kDenied,         // the server's own "denied", or an overload notice
  kTooLong,        // a reply longer than any reply of the server
  kBadIdentifier,  // an identifier that cannot be sent (a control character)
  kServerRefused,  // a server address that cannot be used: nothing was sent
};

struct UpdateOutcome {
  UpdateResult result = UpdateResult::kFailed;
  FailureCause cause = FailureCause::kNone;
  std::wstring identifier;         // as sent (or as refused to be sent)
  std::int32_t secondsToNext = 0;  // the countdown when the update ended: when the next one comes
};

// What the service needs of the main window. The window implements it; the service never
// sees a window handle.
class ServiceView {
 public:
  virtual ~ServiceView() = default;
  // The identifier box's text, as typed (not trimmed).
  virtual std::wstring IdentifierText() const = 0;
  // The interval list's selected row: -1 for none, else 0 to 59 (row i is i + 1 minutes).
  virtual int SelectedIntervalRow() const = 0;
  // The countdown timer and both service buttons, switched together.
  virtual void ShowServiceState(bool active) = 0;
  // A modal box titled "Quorvel" with an OK button; returns once the user has closed it.
  virtual void ShowMessage(const std::wstring& text, MessageIcon icon) = 0;
  // Each update's end, after its log lines: the daemon's exit status and state file, the
  // window's tray icon. A view that shows no such state ignores it.
  virtual void UpdateEnded(const UpdateOutcome&) {}
  // An update is about to connect: the window stores the time for its next start's spacing.
  virtual void UpdateStarted() {}
};

// The system events after which the machine's address has most likely changed; Start is a
// start of either program with the service on (a logon, a reboot, a restart after an upgrade).
enum class WakeReason { Resume, NetworkChange, Start };

// Whether switching the service on or off also writes the store: not when the store already
// says so (the daemon following an activation made by a command).
enum class StoreWrite { kYes, kNo };

// Milliseconds on a clock that keeps running while the machine sleeps (GetTickCount64 on
// Windows, CLOCK_BOOTTIME on Linux); only differences are used.
using BootClock = std::function<std::int64_t()>;

class UpdateService final : public ConnectionEvents {
 public:
  // programPath: the full path of the running program, for the autostart entry. Without a
  // clock the service uses the standard steady clock.
  UpdateService(ServiceView& view, Connection& connection, ActivityLog& log, std::wstring programPath,
                BootClock clock = nullptr);
  ~UpdateService() override;
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  // Seconds to the next update.
  std::int32_t SecondsLeft = 0;
  // Text received on the current connection, then its status word.
  std::wstring ReplyBuffer;

  // Start-up: the state read from the autostart entry, with its log line, and the stored
  // interval as the first countdown. No update starts.
  void RestoreServiceState(bool active, std::int32_t secondsLeft);
  // Start-up: the previous run's latest update began this many seconds ago (a stored time), so
  // that the start's early update keeps the minute's spacing across a restart. A negative
  // value (a clock set back) counts as just now.
  void PreviousUpdateSecondsAgo(std::int64_t seconds);
  // A server text that cannot be used, as the program says it ("serveur refusé: ..."): no
  // update ever connects; "Activer le service" shows it in a message box and changes nothing.
  void RefuseServer(std::wstring refusal) { serverRefusal_ = std::move(refusal); }
  bool IsActive() const { return active_; }
  // One update on its own (`quorveld once`): the store is never written, and a failure
  // promises no new attempt.
  void SetOneShot() { oneShot_ = true; }

  // "Activer le service" and "Désactiver le service".
  void ActivateService(StoreWrite write = StoreWrite::kYes);
  void DeactivateService(StoreWrite write = StoreWrite::kYes);
  // The countdown's tick, every 1000 ms while the service is active.
  void Timer2_Timer();
  // A resume from sleep or a change of the machine's addresses: while the service is active,
  // the next update comes within seconds, though never sooner than a minute after the previous
  // one began and never later than it would have come anyway.
  void EarlyUpdate(WakeReason reason);

  void Winsock1_Connect() override;
  void Winsock1_SendComplete() override;
  void Winsock1_DataArrival(std::int32_t bytesTotal) override;
  void Winsock1_Close() override;
  void Winsock1_Error() override;

 private:
  // updateTicks_ when no update is under way.
  static constexpr int kNoUpdate = -1;

  // The interval chosen in the list, in seconds.
  std::int32_t IntervalSeconds() const;
  // Winsock1.Close then Winsock1.Connect, the start of one update.
  void StartUpdate();
  // "Impossible de se connecter..." and "Retentera dans 60 secondes.", made true, then the
  // outcome.
  void FailureLines(FailureCause cause);
  void Ended(UpdateResult result, FailureCause cause = FailureCause::kNone);

  ServiceView& view_;
  Connection& connection_;
  ActivityLog& log_;
  std::wstring programPath_;
  BootClock clock_;
  bool active_ = false;
  bool oneShot_ = false;
  // When the latest update began, on clock_; none yet since the program started.
  bool updateBegun_ = false;
  std::int64_t updateBeganMs_ = 0;
  // Countdown ticks since the current update's Connect, or kNoUpdate.
  int updateTicks_ = kNoUpdate;
  // The identifier the current update sends.
  std::wstring sentIdentifier_;
  std::wstring serverRefusal_;
};

}  // namespace quorvel

// Service control and update exchange: switching the service on and off, the one-second
// countdown, and the handlers of the connection's events for one update.
#pragma once

#include <cstdint>
#include <string>

#include "log/activity_log.hpp"
#include "update/connection.hpp"

namespace quorvel {

// Message box icons, with the style numbers the boxes are known by.
enum class MessageIcon { Error = 16, Warning = 48 };

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
};

class UpdateService final : public ConnectionEvents {
 public:
  // programPath: the full path of the running program, for the autostart entry.
  UpdateService(ServiceView& view, Connection& winsock, ActivityLog& log, std::wstring programPath);
  ~UpdateService() override;
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  // Seconds to the next update.
  std::int32_t SecondsLeft = 0;
  // Text received on the current connection, then its status word.
  std::wstring ReplyBuffer;

  // Start-up: the state read from the autostart entry, with its log line. No update starts.
  void RestoreServiceState(bool active);
  bool IsActive() const { return active_; }

  // "Activer le service" and "Désactiver le service".
  void ActivateService();
  void DeactivateService();
  // The countdown's tick, every 1000 ms while the service is active.
  void Timer2_Timer();

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
  // The command line stored for the start at logon.
  std::wstring AutostartCommand() const;
  // Winsock1.Close then Winsock1.Connect, the start of one update.
  void StartUpdate();
  // "Impossible de se connecter..." and "Retentera dans 60 secondes.", made true.
  void FailureLines();

  ServiceView& view_;
  Connection& winsock_;
  ActivityLog& log_;
  std::wstring programPath_;
  bool active_ = false;
  // Countdown ticks since the current update's Connect, or kNoUpdate.
  int updateTicks_ = kNoUpdate;
};

}  // namespace quorvel

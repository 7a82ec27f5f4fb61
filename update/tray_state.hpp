// What the notification-area icon says about the service while the window is hidden: which
// image it shows, the tooltip's second line, and the rare balloon when updates have kept
// failing (and when they work again). Plain rules over an injectable clock, so that a test can
// run a failing hour in a moment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "log/activity_log.hpp"

namespace quorvel {

// The icon's three images.
enum class TrayImage { Normal, Warning, Off };

// A balloon to show now, if any.
enum class TrayBalloon { None, Failing, Recovered };

// A reading of the clock: milliseconds on a clock that keeps running (only differences are
// used) and the local time of day the user reads.
struct TrayTime {
  std::int64_t ms = 0;
  TimeOfDay local;
};
using TrayClock = std::function<TrayTime()>;

// The system's clocks: the steady clock and the local time.
TrayTime SystemTrayTime();

class TrayState {
 public:
  // A failing period is announced once it has lasted this long and seen this many attempts.
  static constexpr std::int64_t kFailingPeriodMs = 10 * 60 * 1000;
  static constexpr int kFailingAttempts = 3;

  explicit TrayState(TrayClock clock = SystemTrayTime);

  // The service switched on or off (start-up, the buttons, a rejected identifier). Either way
  // a failing period ends without a balloon: the user switched, or was told by a message box.
  void ServiceSwitched(bool active);
  // One update's outcome; secondsToNext: when the next attempt comes. windowShown: the user
  // is looking at the log already, so no balloon. Returns the balloon to show, if any.
  TrayBalloon UpdateSucceeded(bool windowShown);
  TrayBalloon UpdateFailed(std::int32_t secondsToNext, bool windowShown);
  // The server's address cannot be used: the warning image while the service is on, and a
  // line that says nothing is sent. No balloon: the log and the first line say which value.
  void ServerRefused();

  TrayImage Image() const;
  // "Dernière mise à jour réussie à HH:MM", "Échec de la mise à jour à HH:MM, nouvel essai à
  // HH:MM", "Service désactivé", "Serveur refusé, rien n'est envoyé", or, before the first
  // outcome, "En attente de la première mise à jour".
  const std::wstring& StateLine() const { return line_; }

  // The balloons' texts (title, then body).
  static const wchar_t* BalloonTitle(TrayBalloon balloon);
  static const wchar_t* BalloonText(TrayBalloon balloon);

 private:
  TrayClock clock_;
  bool active_ = false;
  bool lastFailed_ = false;
  // The current failing period: its first failure, its attempts, and whether it was announced.
  bool failing_ = false;
  std::int64_t failingSinceMs_ = 0;
  int failedAttempts_ = 0;
  bool announced_ = false;
  std::wstring line_;
};

// "HH:MM" of a time of day, seconds later (wrapping at midnight).
std::wstring HoursMinutesAfter(const TimeOfDay& time, std::int32_t seconds);

}  // namespace quorvel

#include "update/tray_state.hpp"

#include "common/monotonic_clock.hpp"

namespace quorvel {

TrayTime SystemTrayTime() {
  return {MonotonicMs(), LocalTimeOfDay()};
}

std::wstring HoursMinutesAfter(const TimeOfDay& time, std::int32_t seconds) {
  constexpr std::int64_t kDay = 24 * 60 * 60;
  const std::int64_t at =
      (time.hours * 3600LL + time.minutes * 60LL + time.seconds + (seconds > 0 ? seconds : 0)) % kDay;
  // The log's "hh:mm:ss" without its seconds.
  const TimeOfDay then{static_cast<int>(at / 3600), static_cast<int>(at / 60 % 60), 0};
  return FormatTimeOfDay(then).substr(0, 5);
}

TrayState::TrayState(TrayClock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = SystemTrayTime;
  ServiceSwitched(false);
}

void TrayState::ServiceSwitched(bool active) {
  active_ = active;
  lastFailed_ = false;
  failing_ = false;
  failedAttempts_ = 0;
  announced_ = false;
  line_ = active ? L"En attente de la première mise à jour" : L"Service désactivé";
}

TrayBalloon TrayState::UpdateSucceeded(bool windowShown) {
  const TrayTime now = clock_();
  line_ = L"Dernière mise à jour réussie à " + HoursMinutesAfter(now.local, 0);
  lastFailed_ = false;
  const bool wasAnnounced = failing_ && announced_;
  failing_ = false;
  failedAttempts_ = 0;
  announced_ = false;
  return wasAnnounced && !windowShown ? TrayBalloon::Recovered : TrayBalloon::None;
}

TrayBalloon TrayState::UpdateFailed(std::int32_t secondsToNext, bool windowShown) {
  const TrayTime now = clock_();
  line_ = L"Échec de la mise à jour à " + HoursMinutesAfter(now.local, 0) + L", nouvel essai à " +
          HoursMinutesAfter(now.local, secondsToNext);
  lastFailed_ = true;
  if (!failing_) {
    failing_ = true;
    failingSinceMs_ = now.ms;
    failedAttempts_ = 0;
    announced_ = false;
  }
  ++failedAttempts_;
  // Once per failing period, and only to a user who cannot see the log: a visible window
  // leaves the announcement to a later failure, if the window is hidden by then.
  if (announced_ || windowShown || failedAttempts_ < kFailingAttempts ||
      now.ms - failingSinceMs_ < kFailingPeriodMs) {
    return TrayBalloon::None;
  }
  announced_ = true;
  return TrayBalloon::Failing;
}

void TrayState::ServerRefused() {
  lastFailed_ = true;
  line_ = L"Serveur refusé, rien n'est envoyé";
}

TrayImage TrayState::Image() const {
  if (!active_) return TrayImage::Off;
  return lastFailed_ ? TrayImage::Warning : TrayImage::Normal;
}

const wchar_t* TrayState::BalloonTitle(TrayBalloon balloon) {
  return balloon == TrayBalloon::Failing ? L"Quorvel : mises à jour en échec"
                                         : L"Quorvel : mises à jour rétablies";
}

const wchar_t* TrayState::BalloonText(TrayBalloon balloon) {
  return balloon == TrayBalloon::Failing ? L"Votre adresse IP n'est plus mise à jour depuis plus de 10 "
                                           L"minutes : le serveur ne répond pas."
                                         : L"Votre adresse IP est de nouveau mise à jour.";
}

}  // namespace quorvel

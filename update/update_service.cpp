#include "update/update_service.hpp"

#include <algorithm>

#include "common/monotonic_clock.hpp"
#include "common/text.hpp"
#include "settings/interval.hpp"
#include "settings/activation.hpp"
#include "update/identifier.hpp"
#include "update/protocol.hpp"

namespace quorvel {

namespace {

// A failed update promises the user a new attempt within this many seconds.
constexpr std::int32_t kRetrySeconds = 60;
// An update that has reached no outcome after this many ticks of the countdown is given up.
constexpr int kUpdateTimeoutTicks = 30;
// After a resume or a network change the update waits this long, so that the new network has
// a moment to come up.
constexpr std::int32_t kEarlyUpdateSeconds = 10;
// Early updates never call the server more often than the shortest interval a user can choose.
constexpr std::int64_t kEarlyUpdateSpacingSeconds = 60;
// A reply longer than this is not a reply from our server; it is not collected further.
constexpr size_t kReplyCap = 64 * 1024;

}  // namespace

UpdateService::UpdateService(ServiceView& view, Connection& connection, ActivityLog& log,
                             std::wstring programPath, BootClock clock)
    : view_(view),
      connection_(connection),
      log_(log),
      programPath_(std::move(programPath)),
      clock_(std::move(clock)) {
  if (!clock_) {
    clock_ = [] { return MonotonicMs(); };
  }
}

UpdateService::~UpdateService() = default;

void UpdateService::RestoreServiceState(bool active, std::int32_t secondsLeft) {
  active_ = active;
  view_.ShowServiceState(active);
  log_.WriteLog(active ? L"Le service est activé." : L"Le service est désactivé.", true);
  SecondsLeft = secondsLeft;
}

void UpdateService::PreviousUpdateSecondsAgo(std::int64_t seconds) {
  updateBegun_ = true;
  updateBeganMs_ = clock_() - std::max<std::int64_t>(seconds, 0) * 1000;
}

std::int32_t UpdateService::IntervalSeconds() const {
  return IntervalSecondsForRow(view_.SelectedIntervalRow());
}

void UpdateService::ActivateService(StoreWrite write) {
  // Never the built-in host instead: the identifier would go where the user never meant it to.
  if (!serverRefusal_.empty()) {
    view_.ShowMessage(L"Le service n'est pas activé, " + serverRefusal_ + L".", MessageIcon::Error);
    return;
  }
  const std::wstring identifier = view_.IdentifierText();
  // An identifier that could never be sent is answered as a missing one; spaces are sent.
  if (identifier.empty() || HasControlCharacter(identifier)) {
    view_.ShowMessage(L"Aucun identifiant unique n'est spécifié", MessageIcon::Warning);
    return;
  }
  log_.WriteLog(L"Activation du service...", true);
  active_ = true;
  view_.ShowServiceState(true);
  SecondsLeft = IntervalSeconds();
  // The result is ignored on purpose: a store that cannot be written must not keep the user
  // from updating now; the values simply read back as before at the next start.
  if (write == StoreWrite::kYes && !oneShot_)
    (void)StoreActivation(identifier, SecondsLeft, AutostartCommandFor(programPath_));
  log_.WriteLog(L"Service activé.", true);
  StartUpdate();
}

void UpdateService::DeactivateService(StoreWrite write) {
  log_.WriteLog(L"Désactivation du service...", true);
  connection_.Close();
  updateTicks_ = kNoUpdate;
  active_ = false;
  view_.ShowServiceState(false);
  // Ignored as on activation: the service is off for this run whatever the store says.
  if (write == StoreWrite::kYes && !oneShot_) (void)StoreDeactivation();
  log_.WriteLog(L"Service désactivé.", true);
}

void UpdateService::Timer2_Timer() {
  SecondsLeft = SecondsLeft - 1;
  if (SecondsLeft <= 0) {
    // Whatever update is still running is abandoned without a message.
    SecondsLeft = IntervalSeconds();
    StartUpdate();
    return;
  }
  if (updateTicks_ == kNoUpdate) return;
  if (++updateTicks_ >= kUpdateTimeoutTicks) {
    // A silent server: give the update up as failed rather than wait for the next expiry.
    connection_.Close();
    FailureLines(FailureCause::kNoAnswer);
  }
}

void UpdateService::EarlyUpdate(WakeReason reason) {
  if (!active_ || !serverRefusal_.empty()) return;
  std::int64_t wait = kEarlyUpdateSeconds;
  if (updateBegun_) {
    const std::int64_t since = (clock_() - updateBeganMs_) / 1000;
    wait = std::max(wait, kEarlyUpdateSpacingSeconds - since);
  }
  // Only ever sooner: a burst of events moves the update once and logs one line.
  if (wait >= SecondsLeft) return;
  SecondsLeft = static_cast<std::int32_t>(wait);
  const wchar_t* what = reason == WakeReason::Resume          ? L"Sortie de veille"
                        : reason == WakeReason::NetworkChange ? L"Changement de réseau"
                                                              : L"Démarrage du service";
  log_.WriteLog(std::wstring(what) + L", mise à jour dans " + DecimalText(SecondsLeft) + L" secondes.", true);
}

void UpdateService::StartUpdate() {
  if (!serverRefusal_.empty()) {
    log_.WriteLog(serverRefusal_ + L", rien n'est envoyé.", true);
    updateTicks_ = kNoUpdate;
    Ended(UpdateResult::kFailed, FailureCause::kServerRefused);
    return;
  }
  view_.UpdateStarted();
  connection_.Close();
  updateTicks_ = 0;
  updateBegun_ = true;
  updateBeganMs_ = clock_();
  connection_.Connect();
}

void UpdateService::FailureLines(FailureCause cause) {
  log_.WriteLog(L"Impossible de se connecter au serveur maitre.", true);
  if (!oneShot_) log_.WriteLog(L"Retentera dans 60 secondes.", true);
  updateTicks_ = kNoUpdate;
  // The line above must come true: the next attempt is at most a minute away.
  SecondsLeft = std::min(SecondsLeft, kRetrySeconds);
  Ended(UpdateResult::kFailed, cause);
}

void UpdateService::Ended(UpdateResult result, FailureCause cause) {
  view_.UpdateEnded({result, cause, sentIdentifier_, SecondsLeft});
}

void UpdateService::Winsock1_Connect() {
  if (connection_.State() == Connection::kConnected) {
    ReplyBuffer.clear();
    sentIdentifier_ = view_.IdentifierText();
    if (HasControlCharacter(sentIdentifier_)) {
      // A line end in it would make a second header line of the request: never sent.
      connection_.Close();
      FailureLines(FailureCause::kBadIdentifier);
      return;
    }
    log_.WriteLog(L"Envoie de votre adresse IP ( identifiant: " + sentIdentifier_ + L" )...", true);
    // An IPv6 address in the Host line is written in brackets, as in a URL.
    const std::wstring& host = connection_.RemoteHost();
    const std::wstring request =
        quorvelmod::BuildHttpRequest(host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host,
                                     L"?ip_key=" + sentIdentifier_, L"/update", L"GET");
    connection_.SendData(request);
  } else {
    FailureLines(FailureCause::kConnection);
    connection_.Close();
  }
}

void UpdateService::Winsock1_SendComplete() { log_.WriteLog(L"Envoie de la requête effectué.", true); }

void UpdateService::Winsock1_DataArrival(std::int32_t bytesTotal) {
  if (connection_.State() != Connection::kConnected) return;
  std::wstring piece;
  connection_.GetData(piece);
  ReplyBuffer += piece;
  log_.WriteLog(L"Reception des données (" + DecimalText(bytesTotal) + L" bytes)...", true);
  if (ReplyBuffer.size() > kReplyCap) {
    // No reply of our server is this long: stop collecting, as for an unusable reply.
    ReplyBuffer.clear();
    ReplyBuffer.shrink_to_fit();
    FailureLines(FailureCause::kTooLong);
    connection_.Close();
  }
}

void UpdateService::Winsock1_Close() {
  const bool marked = ReplyBuffer.find(quorvelmod::kReplyMarker) != std::wstring::npos;
  ReplyBuffer = quorvelmod::ParseServerReply(ReplyBuffer);
  updateTicks_ = kNoUpdate;
  if (ReplyBuffer == quorvelmod::kStatusDenied) {
    FailureLines(marked ? FailureCause::kDenied : FailureCause::kNoMarker);
    connection_.Close();
    return;
  }
  if (ReplyBuffer == quorvelmod::kStatusFound) {
    log_.WriteLog(L"Identifiant mis à jour avec succès.", true);
    Ended(UpdateResult::kFound);
  } else if (ReplyBuffer == quorvelmod::kStatusNotFound || ReplyBuffer == quorvelmod::kStatusIncorrect) {
    log_.WriteLog(L"Cet identifiant n'existe pas ! Abbandon...", true);
    DeactivateService(StoreWrite::kNo);
    // Only the refused identifier is switched off: a newer activation in the store stays.
    if (!oneShot_) (void)StoreRefusal(sentIdentifier_);
    Ended(UpdateResult::kUnknownIdentifier);
    view_.ShowMessage(L"Cet identifiant n'existe pas !", MessageIcon::Error);
  } else {
    Ended(UpdateResult::kNoStatus);
  }
}

void UpdateService::Winsock1_Error() {
  if (const std::wstring why = connection_.FailureLine(); !why.empty()) log_.WriteLog(why, true);
  FailureLines(FailureCause::kConnection);
  connection_.Close();
}

}  // namespace quorvel

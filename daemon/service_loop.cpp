#include "daemon/service_loop.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/file_stamp.hpp"
#include "common/text.hpp"
#include "daemon/commands.hpp"
#include "daemon/line_output.hpp"
#include "daemon/run_state.hpp"
#include "daemon/watches.hpp"
#include "log/activity_log.hpp"
#include "settings/activation.hpp"
#include "settings/file_store.hpp"
#include "settings/startup_settings.hpp"
#include "settings/store_lock.hpp"
#include "update/gnutls_engine.hpp"
#include "update/identifier.hpp"
#include "update/posix_connection.hpp"
#include "update/server_address.hpp"
#include "update/update_service.hpp"

namespace quorvel {

namespace {

// The loop never waits longer than this for the store's lock: a command holds it for a moment.
constexpr int kLoopLockWaitMs = 500;
// After the lock could not be had, the store is looked at again this soon.
constexpr int kStoreRetryMs = 200;

// The countdown's tick: 1000 ms, or shorter for the benchmark and the tests only (many
// countdowns in little time).
std::int64_t TickMs() {
  if (const char* text = std::getenv("QUORVEL_TICK_MS"); text != nullptr && *text != '\0') {
    const long value = std::strtol(text, nullptr, 10);
    if (value >= 1 && value <= 1000) return value;
  }
  return 1000;
}

std::string ReasonText(FailureCause cause, const PosixConnection& connection) {
  const std::string server = (connection.UsesTls() ? "https://" : "") + ToAnsi(connection.RemoteHost()) + ":" +
                             std::to_string(connection.RemotePort());
  switch (cause) {
    case FailureCause::kConnection: {
      const std::string why = connection.FailureReason();
      return server + ": " + (why.empty() ? "no connection" : why);
    }
    case FailureCause::kNoAnswer:
      return server + ": no outcome within 30 s";
    case FailureCause::kNoMarker:
      return server + ": the reply holds no Quorvel status (not an update server?)";
    case FailureCause::kDenied:
      return server + ": the server denied the update or is overloaded";
    case FailureCause::kTooLong:
      return server + ": the reply is longer than any update reply";
    case FailureCause::kBadIdentifier:
      return "the identifier holds a control character; it was not sent";
    case FailureCause::kServerRefused:
      return "the server's address cannot be used; nothing was sent";
    case FailureCause::kNone:
      break;
  }
  return server;
}

// The countdown's last tick, now: the update starts as it would at the end of an interval.
void UpdateNow(UpdateService& service) {
  service.SecondsLeft = 1;
  service.Timer2_Timer();
}

class Daemon;

// The view of the IPv6 exchange: the same identifier, its end handed to the daemon.
class Ipv6View final : public ServiceView {
 public:
  explicit Ipv6View(Daemon& daemon) : daemon_(daemon) {}
  std::wstring IdentifierText() const override;
  int SelectedIntervalRow() const override;
  void ShowServiceState(bool) override {}
  void ShowMessage(const std::wstring& text, MessageIcon) override;
  void UpdateEnded(const UpdateOutcome& outcome) override;

 private:
  Daemon& daemon_;
};

// The service and everything it runs on, for both `run` and `once`. It stands where the window
// stands for the service: the identifier and the interval row come from the store, messages go
// to standard error.
class Daemon final : public ServiceView {
 public:
  Daemon()
      : address_(ServerAddressFromEnvironment(TlsSupport::kAvailable)),
        program_(ProgramPath()),
        service_(*this, connection_, log_, program_, BootClockMs),
        service6_(view6_, connection6_, log6_, program_, BootClockMs) {
    connection_.SetEvents(&service_);
    connection6_.SetEvents(&service6_);
    // The second exchange never writes the store and promises no retry of its own.
    service6_.SetOneShot();
    log_.SetListener([this](const std::wstring&, std::wstring_view line) { out_.Write(ToAnsi(line)); });
    log6_.SetListener([this](const std::wstring&, std::wstring_view line) { Ipv6Line(line); });
    signal(SIGPIPE, SIG_IGN);
    SetStoreLockWaitMs(kLoopLockWaitMs);
  }
  ~Daemon() override {
    connection_.SetEvents(nullptr);
    connection6_.SetEvents(nullptr);
    log_.SetListener(nullptr);
    log6_.SetListener(nullptr);
  }

  int Run();
  int Once();

  std::wstring IdentifierText() const override { return identifier_; }
  int SelectedIntervalRow() const override { return row_; }
  void ShowServiceState(bool) override {}
  void ShowMessage(const std::wstring& text, MessageIcon) override { err_.Write(ToAnsi(text)); }
  void UpdateEnded(const UpdateOutcome& outcome) override;
  void Ipv6Ended(const UpdateOutcome& outcome);
  void SayError(const std::string& text) { err_.Write(text); }
  // An identifier the service can send; otherwise says "Aucun identifiant valide".
  bool UsableIdentifier(const std::wstring& identifier) {
    if (!identifier.empty() && !HasControlCharacter(identifier)) return true;
    ShowMessage(L"Aucun identifiant valide", MessageIcon::Error);
    return false;
  }

 private:
  friend class Ipv6View;
  // The loop's own descriptors, by name; the connection's follow them.
  enum Slot { kSignals, kTicker, kAddresses, kStoreWatch, kClockWatch, kStdout, kStderr, kSlots };

  // Waits for the next events and handles them; false once the loop should end.
  bool Turn(bool service);
  void OnSignal(int signal);
  // The ticks that have come due since the last call, given to the countdown.
  void CountTicks(bool service);
  // Sets the timer for the next tick the service needs: every tick while an update is under
  // way, the countdown's end when none is, none while the service is off.
  void ArmTicker(bool service);
  int PollTimeout() const;
  void Start(const StartupSettings& settings);
  // The store's folder, made if missing, watched, and this run's lock taken in it: at the start,
  // and again when the folder was removed (a lock or a write may already have made it anew;
  // the old folder's removal is only reported once nothing holds it, and the lock file does).
  void WatchStore(bool takeLock);
  std::pair<dev_t, ino_t> FolderId() const;
  // Reads the store again if it changed and follows what a command did to it.
  void FollowStore(bool force);
  void SayLost();
  // The IPv6 exchange after an update, when it is asked for and the server is not already
  // reached over IPv6.
  void StartIpv6();
  // A line of the IPv6 exchange: "hh:mm:ss  IPv6: message". None for a failure that only
  // says the name has no IPv6 address: Ipv6Ended says that in one line.
  void Ipv6Line(std::wstring_view line);
  bool Idle() const { return connection_.Idle() && connection6_.Idle(); }

  ServerAddress address_;
  LineOutput out_{STDOUT_FILENO};
  LineOutput err_{STDERR_FILENO};
  ActivityLog log_;
  PosixConnection connection_;
  const std::wstring program_;  // the autostart command's program, read once
  UpdateService service_;
  // The IPv6 exchange: its own connection, forced to IPv6, and its own service for the rules.
  Ipv6View view6_{*this};
  ActivityLog log6_;
  PosixConnection connection6_{PosixConnection::Family::kIPv6};
  UpdateService service6_;
  bool ipv6_ = false;      // the stored choice
  bool ipv6Busy_ = false;  // an IPv6 exchange under way
  std::wstring identifier_;
  int row_ = kDefaultIntervalRow;
  bool ended_ = false;
  bool once_ = false;  // `once`: the store is never written
  UpdateOutcome outcome_;

  UniqueFd signals_ = MakeSignalWatch();
  UniqueFd addresses_;
  UniqueFd storeWatch_;
  std::pair<dev_t, ino_t> watchedFolder_{};
  InstanceLock instance_;
  UniqueFd clockWatch_;
  ResumeCheck resume_;
  int stopSignal_ = 0;
  // One timer for every tick that matters; ticks are counted from the monotonic clock, so
  // the countdown can sleep through an interval in one wait and still count every second.
  UniqueFd ticker_{timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
  std::int64_t tickMs_ = TickMs();
  std::int64_t firstTickBase_ = MonotonicClockMs();
  std::int64_t ticksDone_ = 0;
  std::filesystem::path storePath_ = SettingsFilePath();
  FileStamp stamp_;
  StartupSettings stored_;
  bool storeRetry_ = false;
  std::string storeProblem_;
  std::vector<pollfd> fds_;
};

std::wstring Ipv6View::IdentifierText() const { return daemon_.identifier_; }
int Ipv6View::SelectedIntervalRow() const { return daemon_.row_; }
void Ipv6View::ShowMessage(const std::wstring& text, MessageIcon) {
  daemon_.SayError("quorveld: IPv6: " + ToAnsi(text));
}
void Ipv6View::UpdateEnded(const UpdateOutcome& outcome) { daemon_.Ipv6Ended(outcome); }

void Daemon::Ipv6Line(std::wstring_view line) {
  if (connection6_.NoAddress()) return;
  // "hh:mm:ss  " then the message.
  const std::size_t stamp = std::min<std::size_t>(line.size(), 10);
  out_.Write(ToAnsi(std::wstring(line.substr(0, stamp)) + L"IPv6: " + std::wstring(line.substr(stamp))));
}

void Daemon::StartIpv6() {
  if (!ipv6_ || connection_.AddressFamily() != PosixConnection::Family::kIPv4) return;
  ipv6Busy_ = true;
  UpdateNow(service6_);
}

void Daemon::Ipv6Ended(const UpdateOutcome& outcome) {
  ipv6Busy_ = false;
  switch (outcome.result) {
    case UpdateResult::kUnknownIdentifier:
      // Unknown over IPv6 is unknown: the service goes off as after the IPv4 exchange.
      if (once_) {
        outcome_ = outcome;
      } else {
        (void)StoreRefusal(outcome.identifier);
        if (service_.IsActive()) service_.DeactivateService(StoreWrite::kNo);
      }
      SaveLastUpdate("unknown", "");
      break;
    case UpdateResult::kFailed:
      if (connection6_.NoAddress()) {
        log_.WriteLog(L"IPv6: " + connection6_.RemoteHost() + L" n'a pas d'adresse IPv6.", true);
      } else {
        err_.Write("quorveld: IPv6: " + ReasonText(outcome.cause, connection6_));
      }
      break;
    default:
      break;
  }
}

void Daemon::UpdateEnded(const UpdateOutcome& outcome) {
  ended_ = true;
  outcome_ = outcome;
  std::string word = "failed", reason;
  switch (outcome.result) {
    case UpdateResult::kFound:
      word = "found";
      break;
    case UpdateResult::kUnknownIdentifier:
      word = "unknown";
      // The service is off for this run; a store that could not say so is named.
      if (!once_ && !LastStoreError().empty())
        err_.Write("quorveld: the service's end was not stored: " + LastStoreError());
      break;
    case UpdateResult::kNoStatus:
      word = "no-status";
      break;
    case UpdateResult::kFailed:
      reason = ReasonText(outcome.cause, connection_);
      err_.Write("quorveld: " + reason);
      break;
  }
  SaveLastUpdate(word, reason);
  if (outcome.result != UpdateResult::kUnknownIdentifier && outcome.cause != FailureCause::kBadIdentifier)
    StartIpv6();
}

void Daemon::Start(const StartupSettings& settings) {
  log_.WriteLog(BannerLine(address_), false);
  connection_.SetRemotePort(address_.port);
  connection_.SetRemoteHost(address_.host);
  // An IPv6 address as the server: the update goes there, and is then the IPv6 exchange.
  if (address_.host.find(L':') != std::wstring::npos) connection_.SetFamily(PosixConnection::Family::kAny);
  connection6_.SetRemotePort(address_.port);
  connection6_.SetRemoteHost(address_.host);
  // https://: both exchanges over TLS, never in clear; GnuTLS is loaded only then.
  if (address_.tls) {
    connection_.SetTls(NewGnutlsEngine());
    connection6_.SetTls(NewGnutlsEngine());
  }
  identifier_ = settings.identifier;
  row_ = settings.intervalRow;
}

int Daemon::PollTimeout() const {
  int connection = connection_.PollTimeout();
  if (connection6_.PollTimeout() == 0) connection = 0;
  if (connection == 0 || !storeRetry_) return connection;
  return kStoreRetryMs;
}

bool Daemon::Turn(bool service) {
  ArmTicker(service);
  fds_.assign(kSlots, pollfd{-1, 0, 0});
  fds_[kSignals] = {signals_.get(), POLLIN, 0};
  fds_[kTicker] = {ticker_.get(), POLLIN, 0};
  if (service) {
    fds_[kAddresses] = {addresses_.get(), POLLIN, 0};
    fds_[kStoreWatch] = {storeWatch_.get(), POLLIN, 0};
    fds_[kClockWatch] = {clockWatch_.get(), POLLIN, 0};
  }
  if (out_.Waiting()) fds_[kStdout] = {out_.PollFd(), POLLOUT, 0};
  if (err_.Waiting()) fds_[kStderr] = {err_.PollFd(), POLLOUT, 0};
  connection_.AddPollFds(fds_);
  const std::size_t firstIpv6 = fds_.size();
  connection6_.AddPollFds(fds_);
  if (poll(fds_.data(), fds_.size(), PollTimeout()) < 0 && errno != EINTR) return false;
  if (fds_[kSignals].revents != 0) {
    while (const int signal = TakeSignal(signals_.get())) OnSignal(signal);
    if (stopSignal_ != 0) return false;
  }
  if (fds_[kTicker].revents != 0) Drain(ticker_.get());
  if (fds_[kStdout].revents != 0 || fds_[kStderr].revents != 0) {
    out_.Flush();
    err_.Flush();
    SayLost();
  }
  const bool storeTouched = fds_[kStoreWatch].revents != 0;
  if (storeTouched) {
    Drain(storeWatch_.get());
    // The folder removed (and perhaps made again by a lock or a write): watched anew.
    if (FolderId() != watchedFolder_) WatchStore(true);
  }
  if (fds_[kClockWatch].revents != 0) clockWatch_ = MakeClockWatch();  // stays readable until set again
  connection_.Dispatch(std::vector<pollfd>(fds_.begin() + kSlots, fds_.begin() + firstIpv6));
  connection6_.Dispatch(std::vector<pollfd>(fds_.begin() + firstIpv6, fds_.end()));
  CountTicks(service);
  if (!service) return true;
  if (resume_.Resumed()) service_.EarlyUpdate(WakeReason::Resume);
  if (fds_[kAddresses].revents != 0 && AddressesChanged(addresses_.get())) {
    service_.EarlyUpdate(WakeReason::NetworkChange);
  }
  if (storeTouched || storeRetry_ || !storeWatch_) FollowStore(false);
  return true;
}

void Daemon::OnSignal(int signal) {
  switch (signal) {
    case SIGHUP:
      FollowStore(true);
      break;
    case SIGUSR1:
      if (service_.IsActive()) {
        UpdateNow(service_);
      } else {
        err_.Write("quorveld: the service is off; SIGUSR1 updates only while it is on");
      }
      break;
    default:
      stopSignal_ = signal;
      break;
  }
}

void Daemon::SayLost() {
  if (const std::size_t lost = out_.TakeLost()) {
    log_.WriteLog(L"Sortie bloquée: " + DecimalText(static_cast<long long>(lost)) + L" lignes perdues.",
                  true);
  }
  if (const std::size_t lost = err_.TakeLost()) {
    err_.Write("quorveld: standard error was blocked; " + std::to_string(lost) + " lines lost");
  }
}

void Daemon::CountTicks(bool service) {
  const std::int64_t due = (MonotonicClockMs() - firstTickBase_) / tickMs_;
  for (; ticksDone_ < due; ++ticksDone_) {
    // The IPv6 exchange counts toward its own time limit, whatever the service does meanwhile.
    if (ipv6Busy_ && ticksDone_ + 1 == due) service6_.Timer2_Timer();
    // Ticks the loop slept through while nothing was under way only count down; once an
    // update starts, the ticks left from a stall are not replayed against it.
    if (service && !service_.IsActive()) continue;
    if (!connection_.Idle() && ticksDone_ + 1 < due) continue;
    service_.Timer2_Timer();
  }
}

void Daemon::ArmTicker(bool service) {
  itimerspec next{};
  std::int64_t ticks = 1;
  if (service && !service_.IsActive() && !ipv6Busy_) {
    // Off: no countdown. Without a store watch, the store is looked at every second.
    ticks = storeWatch_ ? 0 : 1;
  } else if (Idle() && !ipv6Busy_ && service_.SecondsLeft > 1) {
    ticks = service_.SecondsLeft;
  }
  if (ticks > 0) {
    const std::int64_t at = firstTickBase_ + (ticksDone_ + ticks) * tickMs_;
    next.it_value.tv_sec = at / 1000;
    next.it_value.tv_nsec = (at % 1000) * 1000000;
    if (next.it_value.tv_sec == 0 && next.it_value.tv_nsec == 0) next.it_value.tv_nsec = 1;
  }
  timerfd_settime(ticker_.get(), TFD_TIMER_ABSTIME, &next, nullptr);
}

std::pair<dev_t, ino_t> Daemon::FolderId() const {
  struct stat facts {};
  if (stat(storePath_.parent_path().c_str(), &facts) != 0) return {};
  return {facts.st_dev, facts.st_ino};
}

void Daemon::WatchStore(bool takeLock) {
  storeWatch_ = MakeStoreWatch(storePath_);
  watchedFolder_ = FolderId();
  pid_t ignored = 0;
  if (takeLock) (void)instance_.Take(storePath_.parent_path(), ignored);
}

void Daemon::FollowStore(bool force) {
  const FileStamp now = StampOf(storePath_);
  if (now == stamp_ && !force) return;
  const StoredState state = ReadStoredState(false);
  storeRetry_ = !state.locked;
  if (storeRetry_) return;
  const StartupSettings& seen = state.settings;
  const bool ipv6 = state.ipv6;
  const std::string problem = LastStoreError();
  if (!problem.empty()) {
    // Kept as last read; said once for each new problem.
    if (problem != storeProblem_) err_.Write("quorveld: " + problem + "; the values read before are kept");
    storeProblem_ = problem;
    stamp_ = now;
    return;
  }
  storeProblem_.clear();
  stamp_ = now;
  ipv6_ = ipv6;
  const bool changed = seen.serviceActive != stored_.serviceActive || seen.identifier != stored_.identifier ||
                       seen.secondsLeft != stored_.secondsLeft;
  const StartupSettings before = stored_;
  stored_ = seen;
  if (seen.serviceActive && changed) {
    // As a click on "Activer le service" with these values in the boxes: an update at once.
    identifier_ = seen.identifier;
    row_ = seen.intervalRow;
    service_.ActivateService(StoreWrite::kNo);
  } else if (!seen.serviceActive && before.serviceActive && service_.IsActive()) {
    service_.DeactivateService(StoreWrite::kNo);
  }
}

int Daemon::Run() {
  pid_t holder = 0;
  if (!instance_.Take(storePath_.parent_path(), holder)) {
    err_.Write("quorveld: another quorveld run (pid " + std::to_string(holder) + ") uses " +
               storePath_.parent_path().string());
    return 1;
  }
  addresses_ = MakeAddressWatch();
  WatchStore(false);
  clockWatch_ = MakeClockWatch();
  stamp_ = StampOf(storePath_);
  const StoredState state = ReadStoredState(true);
  stored_ = state.settings;
  ipv6_ = state.ipv6;
  if (!LastStoreError().empty()) {
    storeProblem_ = LastStoreError();
    err_.Write("quorveld: " + storeProblem_);
  }
  Start(stored_);
  // As the logon start without an identifier: the daemon then waits for an activation.
  const bool active = stored_.serviceActive && UsableIdentifier(stored_.identifier);
  service_.RestoreServiceState(active, stored_.secondsLeft);
  // The address has most likely changed since the service last ran (a boot, a restart).
  service_.EarlyUpdate(WakeReason::Start);
  while (Turn(true)) {}
  connection_.Close();
  connection6_.Close();
  const wchar_t* name = stopSignal_ == SIGINT ? L"SIGINT" : L"SIGTERM";
  log_.WriteLog(std::wstring(L"Arrêt de quorveld (") + name + L").", true);
  out_.Flush();
  err_.Flush();
  return 0;
}

int Daemon::Once() {
  once_ = true;
  service_.SetOneShot();
  const StoredState state = ReadStoredState(true);
  ipv6_ = state.ipv6;
  if (!LastStoreError().empty()) err_.Write("quorveld: " + LastStoreError());
  Start(state.settings);
  if (!UsableIdentifier(state.settings.identifier)) return 1;
  UpdateNow(service_);
  while ((!ended_ && !connection_.Idle()) || (ipv6Busy_ && !connection6_.Idle())) {
    if (!Turn(false)) break;
  }
  connection_.Close();
  connection6_.Close();
  out_.Flush();
  err_.Flush();
  if (!ended_) return 1;
  switch (outcome_.result) {
    case UpdateResult::kFound:
      return 0;
    case UpdateResult::kUnknownIdentifier:
      return 2;
    default:
      return 1;
  }
}

}  // namespace

int RunService() { return Daemon().Run(); }

int RunOnce() { return Daemon().Once(); }

}  // namespace quorvel

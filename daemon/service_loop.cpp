#include "daemon/service_loop.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "update/posix_connection.hpp"
#include "log/activity_log.hpp"
#include "settings/file_store.hpp"
#include "settings/settings.hpp"
#include "settings/startup_settings.hpp"
#include "update/server_address.hpp"
#include "update/update_service.hpp"

namespace quorvel {

namespace {

// A jump of the boot clock past the monotonic one longer than this is a sleep, not jitter.
constexpr std::int64_t kResumeJumpMs = 2000;

enum class Outcome { kNone, kFound, kUnknown, kFailed };

std::int64_t ClockMs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::wstring ProgramPath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return L"quorveld";
  return FromAnsi(std::string_view(buffer, static_cast<size_t>(length)));
}

// The identifier and the interval row stand where the window has its boxes; messages go to
// standard error.
class DaemonView final : public ServiceView {
 public:
  std::wstring identifier;
  int row = 14;
  Outcome outcome = Outcome::kNone;

  std::wstring IdentifierText() const override { return identifier; }
  int SelectedIntervalRow() const override { return row; }
  void ShowServiceState(bool) override {}
  void ShowMessage(const std::wstring& text, MessageIcon) override {
    if (text == L"Cet identifiant n'existe pas !") outcome = Outcome::kUnknown;
    WriteLine(STDERR_FILENO, text);
  }
};

// Writes each new line of the log to standard output as it is written.
class LogOutput {
 public:
  explicit LogOutput(ActivityLog& log, Outcome& outcome) : outcome_(outcome) {
    log.SetListener([this](const std::wstring& text) { OnText(text); });
  }

 private:
  void OnText(const std::wstring& text) {
    // The log only grows, or is cleared and starts again shorter.
    std::wstring_view added(text);
    if (text.size() > shown_) added.remove_prefix(shown_);
    shown_ = text.size();
    if (added.starts_with(L"\r\n")) added.remove_prefix(2);
    WriteLine(STDOUT_FILENO, added);
    if (added.ends_with(L"  Identifiant mis à jour avec succès.")) outcome_ = Outcome::kFound;
    if (added.ends_with(L"  Impossible de se connecter au serveur maitre.") &&
        outcome_ == Outcome::kNone) {
      outcome_ = Outcome::kFailed;
    }
  }

  Outcome& outcome_;
  size_t shown_ = 0;
};

// The store's file as last seen: a write replaces the file, so its inode changes with it.
struct StoreStamp {
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  bool operator==(const StoreStamp& other) const {
    return inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

StoreStamp StampOf(const std::string& path) {
  StoreStamp stamp;
  struct stat facts{};
  if (stat(path.c_str(), &facts) == 0) {
    stamp.inode = facts.st_ino;
    stamp.size = facts.st_size;
    stamp.modified = facts.st_mtim;
  }
  return stamp;
}

// The store's folder, locked for as long as it lives: a command and the running daemon never
// write the store at the same time, and the daemon reads a command's values all together.
class StoreLock {
 public:
  explicit StoreLock(const std::filesystem::path& store) {
    std::error_code ignored;
    std::filesystem::create_directories(store.parent_path(), ignored);
    folder_.reset(open(store.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Without the lock the store is still used; a write may then meet another one.
    if (folder_) (void)flock(folder_.get(), LOCK_EX);
  }

 private:
  UniqueFd folder_;  // closing it releases the lock
};

// The countdown's tick: 1000 ms, or shorter for the benchmark only (many countdowns in
// little time).
std::int64_t TickMs() {
  if (const char* text = std::getenv("QUORVEL_TICK_MS"); text != nullptr && *text != '\0') {
    const long value = std::strtol(text, nullptr, 10);
    if (value >= 1 && value <= 1000) return value;
  }
  return 1000;
}

// Readable when the wall clock is set, and when the machine resumes from sleep: the kernel
// cancels such a timer then.
UniqueFd MakeClockWatch() {
  UniqueFd watch(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  itimerspec never{};
  never.it_value.tv_sec = INT32_MAX;
  if (watch && timerfd_settime(watch.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never,
                               nullptr) != 0) {
    watch.reset();
  }
  return watch;
}

// Writes into the store's folder (activate, deactivate, the service itself), made sure to exist.
UniqueFd MakeStoreWatch(const std::filesystem::path& store) {
  std::error_code ignored;
  std::filesystem::create_directories(store.parent_path(), ignored);
  UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch && inotify_add_watch(watch.get(), store.parent_path().c_str(),
                                 IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE) < 0) {
    watch.reset();
  }
  return watch;
}

void Drain(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

// SIGTERM and SIGINT as a descriptor of the loop.
UniqueFd MakeStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  return UniqueFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

// Changes of the machine's addresses, from the kernel.
UniqueFd MakeAddressWatch() {
  UniqueFd watch(socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!watch) return watch;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(watch.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) watch.reset();
  return watch;
}

// Reads every waiting message; true if an address was added or removed.
bool AddressesChanged(int watch) {
  bool changed = false;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const ssize_t got = recv(watch, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) return changed;
    size_t left = static_cast<size_t>(got);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == RTM_NEWADDR || header->nlmsg_type == RTM_DELADDR) changed = true;
    }
  }
}

// The service and everything it runs on, for both `run` and `once`.
class Daemon {
 public:
  Daemon()
      : address_(ServerAddressFromEnvironment()),
        logOutput_(log_, view_.outcome),
        service_(view_, connection_, log_, ProgramPath(), [] { return ClockMs(CLOCK_BOOTTIME); }) {
    connection_.SetEvents(&service_);
    signal(SIGPIPE, SIG_IGN);
  }
  ~Daemon() { connection_.SetEvents(nullptr); }

  int Run();
  int Once();

 private:
  // Waits for the next events and handles them; false once a stop signal came.
  bool Turn(bool followStore);
  // The ticks that have come due since the last call, given to the countdown.
  void CountTicks(bool followStore);
  // Sets the timer for the next tick the service needs: every tick while an update is under
  // way, the countdown's end when none is, none while the service is off.
  void ArmTicker(bool followStore);
  void Start(const StartupSettings& settings);
  void FollowStore();
  void CheckResume();

  ServerAddress address_;
  DaemonView view_;
  ActivityLog log_;
  LogOutput logOutput_;
  PosixConnection connection_;
  UpdateService service_;
  UniqueFd stop_ = MakeStopSignals();
  UniqueFd addresses_;
  UniqueFd storeWatch_;
  UniqueFd clockWatch_;
  // One timer for every tick that matters; ticks are counted from the monotonic clock, so
  // the countdown can sleep through an interval in one wait and still count every second.
  UniqueFd ticker_{timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
  std::int64_t tickMs_ = TickMs();
  std::int64_t firstTickBase_ = ClockMs(CLOCK_MONOTONIC);
  std::int64_t ticksDone_ = 0;
  std::string storePath_ = SettingsFilePath().string();
  StoreStamp stamp_;
  StartupSettings stored_;
  std::int64_t sleepGap_ = ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC);
  std::vector<pollfd> fds_;
};

void Daemon::Start(const StartupSettings& settings) {
  log_.WriteLog(L"Quorvel Version 2.0 - " + address_.WebHost(), false);
  connection_.SetRemotePort(address_.port);
  connection_.SetRemoteHost(address_.host);
  view_.identifier = settings.identifier;
  view_.row = settings.intervalRow;
}

bool Daemon::Turn(bool followStore) {
  ArmTicker(followStore);
  fds_.clear();
  fds_.push_back({stop_.get(), POLLIN, 0});
  fds_.push_back({ticker_.get(), POLLIN, 0});
  fds_.push_back({addresses_.get(), POLLIN, 0});
  fds_.push_back({storeWatch_.get(), POLLIN, 0});
  fds_.push_back({clockWatch_.get(), POLLIN, 0});
  const size_t ownFds = fds_.size();
  connection_.AddPollFds(fds_);
  if (poll(fds_.data(), fds_.size(), connection_.PollTimeout()) < 0 && errno != EINTR) return false;
  if (fds_[0].revents != 0) return false;
  if (fds_[1].revents != 0) Drain(ticker_.get());
  const bool storeTouched = fds_[3].revents != 0;
  if (storeTouched) Drain(storeWatch_.get());
  if (fds_[4].revents != 0) {
    clockWatch_ = MakeClockWatch();  // a cancelled timer stays readable until set again
  }
  const std::vector<pollfd> connectionFds(fds_.begin() + static_cast<long>(ownFds), fds_.end());
  // Whatever the service does next may write the store (an activation, a deactivation).
  const StoreLock lock(storePath_);
  connection_.Dispatch(connectionFds);
  CountTicks(followStore);
  if (!followStore) return true;
  CheckResume();
  if (fds_[2].revents != 0 && AddressesChanged(addresses_.get())) {
    service_.EarlyUpdate(WakeReason::NetworkChange);
  }
  if (storeTouched || !storeWatch_) FollowStore();
  return true;
}

void Daemon::CountTicks(bool followStore) {
  const std::int64_t due = (ClockMs(CLOCK_MONOTONIC) - firstTickBase_) / tickMs_;
  for (; ticksDone_ < due; ++ticksDone_) {
    // Ticks the loop slept through while nothing was under way only count down; once an
    // update starts, the ticks left from a stall are not replayed against it.
    if (followStore && !service_.IsActive()) continue;
    if (!connection_.Idle() && ticksDone_ + 1 < due) continue;
    service_.Timer2_Timer();
  }
}

void Daemon::ArmTicker(bool followStore) {
  itimerspec next{};
  std::int64_t ticks = 1;
  if (followStore && !service_.IsActive()) {
    // Off: no countdown. Without a store watch, the store is looked at every second.
    ticks = storeWatch_ ? 0 : 1;
  } else if (connection_.Idle() && service_.SecondsLeft > 1) {
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

void Daemon::CheckResume() {
  const std::int64_t gap = ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC);
  // The boot clock runs on while the machine sleeps; the monotonic one stops.
  if (gap - sleepGap_ > kResumeJumpMs) service_.EarlyUpdate(WakeReason::Resume);
  sleepGap_ = gap;
}

void Daemon::FollowStore() {
  const StoreStamp now = StampOf(storePath_);
  if (now == stamp_) return;
  const StartupSettings seen = ReadStartupSettings();
  const bool changed = seen.serviceActive != stored_.serviceActive ||
                       seen.identifier != stored_.identifier || seen.secondsLeft != stored_.secondsLeft;
  if (seen.serviceActive && changed) {
    // As a click on "Activer le service" with these values in the boxes: an update at once.
    view_.identifier = seen.identifier;
    view_.row = seen.intervalRow;
    service_.ActivateService();
  } else if (!seen.serviceActive && stored_.serviceActive && service_.IsActive()) {
    service_.DeactivateService();
  }
  // What the service wrote itself is now the store as seen; it is not acted on again.
  stamp_ = StampOf(storePath_);
  stored_ = ReadStartupSettings();
}

int Daemon::Run() {
  addresses_ = MakeAddressWatch();
  storeWatch_ = MakeStoreWatch(storePath_);
  clockWatch_ = MakeClockWatch();
  stamp_ = StampOf(storePath_);
  stored_ = ReadStartupSettings();
  Start(stored_);
  bool active = stored_.serviceActive;
  if (active && stored_.identifier.empty()) {
    // As the logon start without an identifier; the daemon then waits for an activation.
    view_.ShowMessage(L"Aucun identifiant valide", MessageIcon::Error);
    active = false;
  }
  service_.RestoreServiceState(active, stored_.secondsLeft);
  while (Turn(true)) {
  }
  connection_.Close();
  return 0;
}

int Daemon::Once() {
  const StartupSettings settings = ReadStartupSettings();
  Start(settings);
  if (settings.identifier.empty()) {
    view_.ShowMessage(L"Aucun identifiant valide", MessageIcon::Error);
    return 1;
  }
  // The countdown's last tick: the update starts as it would at the end of an interval.
  service_.SecondsLeft = 1;
  service_.Timer2_Timer();
  while (view_.outcome == Outcome::kNone && !connection_.Idle()) {
    if (!Turn(false)) break;
  }
  connection_.Close();
  switch (view_.outcome) {
    case Outcome::kFound:
      return 0;
    case Outcome::kUnknown:
      return 2;
    default:
      return 1;
  }
}

std::wstring StoredText(const wchar_t* subKey, const wchar_t* name) {
  return TrimSpaces(quorvelmod::GetRegString(quorvelmod::kHkeyCurrentUser, subKey, name, L""));
}

}  // namespace

void WriteLine(int fd, std::wstring_view text) {
  std::string bytes = ToAnsi(text);
  bytes += '\n';
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // a closed output loses the line, not the service
    done += static_cast<size_t>(put);
  }
}

int RunService() { return Daemon().Run(); }

int RunOnce() { return Daemon().Once(); }

int ShowStatus() {
  const StartupSettings settings = ReadStartupSettings();
  WriteLine(STDOUT_FILENO, settings.serviceActive ? L"Le service est activé." : L"Le service est désactivé.");
  WriteLine(STDOUT_FILENO, L"Identifiant: " + settings.identifier);
  WriteLine(STDOUT_FILENO, L"Intervalle: " + DecimalText(settings.intervalRow + 1) + L" minutes");
  return 0;
}

int StoreActivation(const wchar_t* identifier, int minutes) {
  if (identifier == nullptr || *identifier == L'\0') {
    WriteLine(STDERR_FILENO, L"Aucun identifiant unique n'est spécifié");
    return 2;
  }
  using namespace quorvelmod;
  const StoreLock lock(SettingsFilePath());
  SaveRegString(kHkeyCurrentUser, kSettingsKey, kIdentifierValue, TrimSpaces(identifier));
  SaveRegString(kHkeyCurrentUser, kSettingsKey, kIntervalValue, DecimalText(minutes * 60));
  // Last, so that a running daemon sees the activation with its identifier and interval.
  const bool saved =
      SaveRegString(kHkeyCurrentUser, kRunKey, kAutostartValue, L"\"" + ProgramPath() + L"\" -wiper");
  if (!saved || StoredText(kRunKey, kAutostartValue).empty()) return 1;
  return 0;
}

int StoreDeactivation() {
  const StoreLock lock(SettingsFilePath());
  return quorvelmod::SaveRegString(quorvelmod::kHkeyCurrentUser, quorvelmod::kRunKey,
                                   quorvelmod::kAutostartValue, L"")
             ? 0
             : 1;
}

}  // namespace quorvel

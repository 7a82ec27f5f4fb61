#include "daemon/watches.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <system_error>

namespace quorvel {

UniqueFd MakeSignalWatch() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  return UniqueFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

int TakeSignal(int watch) {
  signalfd_siginfo info{};
  if (read(watch, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

UniqueFd MakeClockWatch() {
  UniqueFd watch(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  itimerspec never{};
  never.it_value.tv_sec = INT32_MAX;
  if (watch &&
      timerfd_settime(watch.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) != 0) {
    watch.reset();
  }
  return watch;
}

UniqueFd MakeAddressWatch() {
  UniqueFd watch(socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!watch) return watch;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(watch.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) watch.reset();
  return watch;
}

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

UniqueFd MakeStoreWatch(const std::filesystem::path& store) {
  std::error_code ignored;
  std::filesystem::create_directories(store.parent_path(), ignored);
  UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch && (inotify_add_watch(watch.get(), store.parent_path().c_str(),
                                  IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE | IN_DELETE_SELF |
                                      IN_MOVE_SELF) < 0 ||
                inotify_add_watch(watch.get(), store.parent_path().parent_path().c_str(),
                                  IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF) < 0)) {
    watch.reset();
  }
  return watch;
}

void Drain(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {}
}

namespace {

std::int64_t ClockMs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::int64_t BootClockMs() { return ClockMs(CLOCK_BOOTTIME); }
std::int64_t MonotonicClockMs() { return ClockMs(CLOCK_MONOTONIC); }

ResumeCheck::ResumeCheck(MsClock boot, MsClock monotonic)
    : boot_(std::move(boot)), monotonic_(std::move(monotonic)), gap_(boot_() - monotonic_()) {}

bool ResumeCheck::Resumed() {
  const std::int64_t gap = boot_() - monotonic_();
  const bool resumed = gap - gap_ > kJumpMs;
  gap_ = gap;
  return resumed;
}

}  // namespace quorvel

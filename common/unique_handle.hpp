// One move-only owner for every kind of handle the program holds: a window object, a kernel
// object, a socket, a registry key, a file descriptor. Each is released exactly once, by the
// close function its traits name, whatever path the holder leaves by.
#pragma once

#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace quorvel {

// Traits: a `Handle` type, `Empty()` the value that owns nothing, `Close(handle)`.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (handle_ != Traits::Empty()) CloseKeepingLastError(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  // Safe on itself too: the handle is taken out before anything is closed.
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Empty(); }
  // Gives the handle up without closing it.
  Handle release() { return std::exchange(handle_, Traits::Empty()); }
  // Closes what is held, if anything, and holds `handle` instead. A failed close cannot be
  // mended and is not reported; the caller's last error, which the close may overwrite, is
  // kept so that a handle dropped on an error path does not hide that error.
  void reset(Handle handle = Traits::Empty()) {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Empty()) CloseKeepingLastError(old);
  }
  // The place an API call writes a newly made handle to; anything held is closed first.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  // Out of line: one copy for each kind of handle, not one at every place that drops one.
  // Windows' close functions set only GetLastError; elsewhere close sets errno.
  [[gnu::noinline]] static void CloseKeepingLastError(Handle handle) {
#ifdef _WIN32
    const DWORD error = GetLastError();
    Traits::Close(handle);
    SetLastError(error);
#else
    const int error = errno;
    Traits::Close(handle);
    errno = error;
#endif
  }

  Handle handle_ = Traits::Empty();
};

#ifndef _WIN32
struct FdTraits {
  using Handle = int;
  static int Empty() { return -1; }
  static void Close(int fd) { (void)::close(fd); }
};
// A POSIX file descriptor; -1 is the empty owner.
using UniqueFd = UniqueHandle<FdTraits>;
#endif

}  // namespace quorvel

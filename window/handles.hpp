// Move-only owners for the window's handles, so each one is released exactly once.
#pragma once

#include <windows.h>

#include <utility>

namespace quorvel {

template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Empty())) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, Traits::Empty()));
    return *this;
  }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::Empty(); }
  void reset(Handle handle = Traits::Empty()) {
    if (handle_ != Traits::Empty()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Empty();
};

struct IconTraits {
  static HICON Empty() { return nullptr; }
  static void Close(HICON icon) { DestroyIcon(icon); }
};
struct FontTraits {
  static HFONT Empty() { return nullptr; }
  static void Close(HFONT font) { DeleteObject(font); }
};
struct KernelHandleTraits {
  static HANDLE Empty() { return nullptr; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

using UniqueIcon = UniqueHandle<HICON, IconTraits>;
using UniqueFont = UniqueHandle<HFONT, FontTraits>;
using UniqueKernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;

}  // namespace quorvel

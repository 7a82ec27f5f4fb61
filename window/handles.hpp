// The window's handle owners, so each one is released exactly once.
#pragma once

#include <windows.h>

#include "common/unique_handle.hpp"

namespace quorvel {

struct IconTraits {
  using Handle = HICON;
  static HICON Empty() { return nullptr; }
  static void Close(HICON icon) { DestroyIcon(icon); }
};
struct FontTraits {
  using Handle = HFONT;
  static HFONT Empty() { return nullptr; }
  static void Close(HFONT font) { DeleteObject(font); }
};
struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE Empty() { return nullptr; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueFont = UniqueHandle<FontTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace quorvel

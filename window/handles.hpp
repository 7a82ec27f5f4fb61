// The window's handle owners, so each one is released exactly once.
#pragma once

#include <windows.h>

#include "common/unique_handle.hpp"

namespace quorvel {

// A failed close cannot be mended; the handle is given up either way.
struct IconTraits {
  using Handle = HICON;
  static HICON Empty() { return nullptr; }
  static void Close(HICON icon) { (void)DestroyIcon(icon); }
};
struct FontTraits {
  using Handle = HFONT;
  static HFONT Empty() { return nullptr; }
  static void Close(HFONT font) { (void)DeleteObject(font); }
};
struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE Empty() { return nullptr; }
  static void Close(HANDLE handle) { (void)CloseHandle(handle); }
};

using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueFont = UniqueHandle<FontTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace quorvel

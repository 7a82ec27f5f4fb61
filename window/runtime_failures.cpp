// How the C++ runtime fails in this program: it ends at once. Nothing in the program catches
// a standard-library exception, so an exception raised by the library would end it anyway,
// through the terminate handler. The library's own versions of these functions print the
// demangled name of the exception to a console this windowed program does not have, and
// bring a demangler, a printf, exception classes and a second string implementation into the
// program file: half of its size (130 KB instead of 258 KB).
//
// These are the library's internal entry points, not an interface it promises: checked
// against the libstdc++ of GCC 12 (x86_64-w64-mingw32-g++-posix 12-posix, Debian 12). The
// build's check (cmake/check-lean-runtime.cmake) fails if a newer library stops calling them;
// QUORVEL_LEAN_RUNTIME=OFF builds without them.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_bad_function_call() { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __throw_invalid_argument(const char*) { std::abort(); }

}  // namespace std

// Allocation: the library's operator new throws std::bad_alloc, which nothing catches; this
// one ends the program at once, as the handler would, without the exception runtime.
#include <new>

void* operator new(std::size_t size) {
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  std::abort();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

# cmake -DPROGRAM=quorvel.exe -P check-lean-runtime.cmake
# Fails when the C++ runtime's own failure reporting is in the program: its terminate
# handler's message and its demangler's words are then in the file. It is there when the
# library no longer calls the functions window/runtime_failures.cpp replaces. Also fails when the
# exception runtime or the threading library is back in it (below).
file(STRINGS "${PROGRAM}" found REGEX "terminate called after throwing|\\(anonymous namespace\\)")
if(found)
  message(FATAL_ERROR
          "${PROGRAM} holds the C++ runtime's failure reporting (${found}): this library no "
          "longer honours window/runtime_failures.cpp. Check its overrides against the "
          "library, or build with -DQUORVEL_LEAN_RUNTIME=OFF.")
endif()

# Nor the exception runtime (its type names) or the static threading library (its source
# paths): the program's code is built without exceptions and thread-safe statics, and a call
# that needs either (std::chrono's clocks, std::mutex, a library function that throws itself)
# brings them back, a third of the program file.
file(STRINGS "${PROGRAM}" found REGEX "St9exception|St9bad_alloc|winpthreads")
if(found)
  message(FATAL_ERROR
          "${PROGRAM} holds the C++ exception runtime or the threading library (${found}): "
          "something in it now needs them. Find what with the linker's map (-Wl,-Map) and "
          "do without it, as common/monotonic_clock.cpp does for the clock.")
endif()

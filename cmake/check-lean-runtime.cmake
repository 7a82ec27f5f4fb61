# cmake -DPROGRAM=quorvel.exe -P check-lean-runtime.cmake
# Fails when the C++ runtime's own failure reporting is in the program: its terminate
# handler's message and its demangler's words are then in the file. It is there when the
# library no longer calls the functions window/runtime_failures.cpp replaces.
file(STRINGS "${PROGRAM}" found REGEX "terminate called after throwing|\\(anonymous namespace\\)")
if(found)
  message(FATAL_ERROR
          "${PROGRAM} holds the C++ runtime's failure reporting (${found}): this library no "
          "longer honours window/runtime_failures.cpp. Check its overrides against the "
          "library, or build with -DQUORVEL_LEAN_RUNTIME=OFF.")
endif()

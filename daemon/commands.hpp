// quorveld's short commands: they read or write the store and end. Each returns its exit status.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// The running program's full path, for the autostart entry.
std::wstring ProgramPath();

// `quorveld activate`: the identifier is refused (status 2) when blank, when it holds a control
// character, or when it is longer than the store can read back. minutes 0 keeps the stored
// interval.
int Activate(const std::string& identifier, int minutes);
int Deactivate();

// `quorveld status`: the stored values, whether a `run` uses them, the last update. 0 when the
// service is on, 3 when it is off, 4 when the store cannot be read.
int ShowStatus();

// Writes the line and a line end to a descriptor (a command's output; the loop has its own).
void PrintLine(int fd, const std::string& line);

}  // namespace quorvel

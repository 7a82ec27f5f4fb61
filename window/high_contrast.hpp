// Whether the user has a high-contrast theme on: the log box then takes the system's window
// colours instead of white on grey-text grey, which such a theme can make unreadable.
#pragma once

namespace quorvel {

bool HighContrastOn();

}  // namespace quorvel

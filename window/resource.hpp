// Resource and control identifiers of quorvel.exe, shared by the resource script, the window
// and the tests that drive the program.
#pragma once

// The application icon: the lowest resource ID, so the shell shows it as the program's icon.
#define IDI_QUORVEL 1
// The notification area's three states, at the tray's sizes. Numbers above the application
// icon's, not names: named resources sort first, and the first icon group is the program's.
#define IDI_TRAY_NORMAL 2
#define IDI_TRAY_WARNING 3
#define IDI_TRAY_OFF 4

// Controls of the main window. None is 1 (IDOK) or 2 (IDCANCEL): Enter and Escape must not
// press a button of their own accord.
#define IDC_COMMAND1 1001  // "Minimiser"
#define IDC_FRAME1 1002
#define IDC_COMMAND2 1003  // "Créer un identifiant unique"
#define IDC_TEXT1 1004
#define IDC_FRAME2 1005
#define IDC_TEXT2 1006
#define IDC_COMMAND3 1007  // "Activer le service"
#define IDC_COMMAND4 1008  // "Désactiver le service"
#define IDC_FRAME3 1009
#define IDC_LABEL1 1010
#define IDC_LIST1 1011

// The window's own message for "the machine's addresses changed" (WM_APP + 3): the address
// watch delivers its notification as this message, and the tests post it to stand in for one.
#define QUORVEL_WM_ADDRESSES_CHANGED 0x8003

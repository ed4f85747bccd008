#pragma once

// Command identifiers, shared by the code and the resource script (which is why they are macros:
// the resource compiler only understands the preprocessor). They arrive as the low word of a
// WM_COMMAND wParam, whether from the tray menu, the File Transfers window's menu bar, a worker's
// notification or another instance.

#define ID_NOTIFY 1000
#define ID_REFRESH 1001
#define ID_SHOW 1100
#define ID_SHOW_USB_EVENTS 1101
#define ID_SHOW_FILE_TRANSFERS 1102
#define ID_RUN_ON_STARTUP 1103
#define ID_OPEN_DATA_FOLDER 1104
#define ID_EXIT 1105
#define ID_CLOSE 1106
#define ID_VIEW_REFRESH 1107

// Numbers of the program's windows, menus, commands, controls, pictures and strings.
//
// Every window built from a template carries its number, and every control its number as the
// "controlId" property, so that code and tests find a control by the number named here. Some
// control numbers are used in more than one window; each window's names are listed together.
#pragma once

// Common buttons and the system menu.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDM_ABOUTBOX = 0x0010; // system-menu command that opens the information box

// Window templates.
inline constexpr int IDD_INFORMATION = 100;      // "Vandrel information"
inline constexpr int IDD_VANDREL_DIALOG = 102;   // the main window
inline constexpr int IDD_SEND_SRECORD = 131;     // "Send Motorola S-format"
inline constexpr int IDD_LOG_PAGE = 134;         // "Log Messages" page
inline constexpr int IDD_GLOBAL_SETTINGS = 136;  // "Global Settings"
inline constexpr int IDD_ERASE_FLASH = 137;      // "Flash Erase Tool"
inline constexpr int IDD_MEMORY_DUMP_PAGE = 139; // "Memory Dump" page
inline constexpr int IDD_CONNECT = 145;          // "Please, switch on the target!"

// Strings.
inline constexpr int IDS_ABOUTBOX = 101; // system-menu text of the information box command

// Menus.
inline constexpr int IDR_MAIN_MENU = 130;      // "Global &Settings", "Flash &Tools"
inline constexpr int IDR_FILE_LIST_MENU = 153; // context menu of the flash file list

// Icons, bitmaps and the animation.
inline constexpr int IDI_PROGRAM = 128;           // the program icon
inline constexpr int IDR_CONNECT_ANIMATION = 147; // the connect dialog's animation
inline constexpr int IDI_CONNECT_IN = 151;        // connect toggle: connected (checked or hovered)
inline constexpr int IDI_CONNECT_OUT = 152;       // connect toggle: not connected
inline constexpr int IDB_FILE_LIST = 154;         // 16 x 16 image 0 of the flash file list
inline constexpr int IDI_INFORMATION = 162;       // the information box
inline constexpr int IDI_DUMP_TO_SCREEN = 163;    // output-mode toggle: memory to the screen
inline constexpr int IDI_DUMP_TO_FILE = 164;      // output-mode toggle: memory to a BIN file

// Menu commands.
inline constexpr int ID_FLASH_TOOLS_GET_FLASH_ID = 32773;       // "&Get Flash ID(G)"
inline constexpr int ID_FLASH_TOOLS_ERASE_FLASH = 32777;        // "&Erase Flash(E)"
inline constexpr int ID_GLOBAL_SETTINGS = 32780;                // "Global &Settings"
inline constexpr int ID_FILE_LIST_ADD = 32781;                  // "&Add"
inline constexpr int ID_FILE_LIST_REMOVE = 32782;               // "&Remove"
inline constexpr int ID_FILE_LIST_DOWNLOAD = 32783;             // "Down&load"
inline constexpr int ID_FILE_LIST_MOVE_UP = 32789;              // "Move &Up"
inline constexpr int ID_FILE_LIST_MOVE_DOWN = 32790;            // "Move &Down"
inline constexpr int ID_FLASH_TOOLS_PRODUCTION_STATION = 32791; // "Production Station..."

// Main window (IDD_VANDREL_DIALOG).
inline constexpr int IDC_CONNECT = 1003;      // connect toggle, a face button in check-box mode
inline constexpr int IDC_STATUS_LINE = 1007;  // status line
inline constexpr int IDC_PAGE_TAB = 1042;     // "Log Messages" / "Memory Dump"
inline constexpr int IDC_RADIO_RS232 = 1086;  // "RS232", port type 0
inline constexpr int IDC_RADIO_USB = 1087;    // "USB", port type 1
inline constexpr int IDC_FILE_LIST = 1103;    // the flash file list
inline constexpr int IDC_DOWNLOAD_ALL = 1104; // "&Download All"
inline constexpr int IDC_ADD = 1109;          // "&Add..."
inline constexpr int IDC_REMOVE = 1110;       // "&Remove"
inline constexpr int IDC_REMOVE_ALL = 1111;   // "Re&move All"

// Log page (IDD_LOG_PAGE).
inline constexpr int IDC_LOG = 1019;

// Information box (IDD_INFORMATION).
inline constexpr int IDC_BUG_REPORT = 1038; // link label "Bug report"
inline constexpr int IDC_VERSION = 1085;    // version line

// Download dialog (IDD_SEND_SRECORD).
inline constexpr int IDC_SEND_PROGRESS = 1020;
inline constexpr int IDC_SEND_STATUS = 1025;
inline constexpr int IDC_SEND_ELAPSED = 1084; // "Elapsed time : "

// Connect dialog (IDD_CONNECT).
inline constexpr int IDC_CONNECT_ANIMATION = 1097;

// Global Settings (IDD_GLOBAL_SETTINGS).
inline constexpr int IDC_PORT = 1006;                 // "COM 1" .. "COM 4"
inline constexpr int IDC_BAUDRATE = 1007;             // "110 bps" .. "256000 bps"
inline constexpr int IDC_PORT_LABEL = 1090;           // "Port :"
inline constexpr int IDC_BAUDRATE_LABEL = 1091;       // "Baudrate :"
inline constexpr int IDC_UART_WRITER_PATH = 1106;     // flash writer file for RS232
inline constexpr int IDC_USB_WRITER_PATH = 1107;      // flash writer file for USB
inline constexpr int IDC_FLASH_WRITER_HEADING = 1112; // "Flash Writer File"
inline constexpr int IDC_RS232_HEADING = 1113;        // "RS232 Configuration "

// Flash Erase Tool (IDD_ERASE_FLASH).
inline constexpr int IDC_ERASE_START = 1028; // "&Start"
inline constexpr int IDC_ERASE_PROGRESS = 1029;
inline constexpr int IDC_ERASE_CS0 = 1031;    // "CS #0 [0x00000000]"
inline constexpr int IDC_ERASE_CS1 = 1032;    // "CS #1 [0x04000000]"
inline constexpr int IDC_ERASE_CS2 = 1033;    // "CS #2 [0x08000000]"
inline constexpr int IDC_ERASE_CS3 = 1034;    // "CS #3 [0x0C000000]"
inline constexpr int IDC_ERASE_MAIN = 1035;   // "Ostra Main Block"
inline constexpr int IDC_ERASE_MEDIA = 1036;  // "Ostra Media Block"
inline constexpr int IDC_ERASE_CDRIVE = 1037; // "Ostra C-Drive Block"
inline constexpr int IDC_ERASE_DDRIVE = 1038; // "Ostra D-Drive Block"
inline constexpr int IDC_ERASE_DB = 1039;     // "Ostra DB Block"
inline constexpr int IDC_ERASE_BOOT = 1040;   // "Ostra Boot Block"

// Memory Dump page (IDD_MEMORY_DUMP_PAGE).
inline constexpr int IDC_HEX_VIEW = 1043;
inline constexpr int IDC_ASCII_VIEW = 1044;   // "ASCII view"
inline constexpr int IDC_SCREEN_START = 1045; // start address, to screen
inline constexpr int IDC_DUMP_SIZE = 1046;    // size in units
inline constexpr int IDC_DUMP_SCREEN = 1047;  // "&DUMP"
inline constexpr int IDC_DUMP_UNIT = 1048;    // "BYTE(8bit)", "WORD(16bit)", "DWORD(32bit)"
inline constexpr int IDC_DUMP_SIZE_SPIN = 1060;
inline constexpr int IDC_DUMP_MODE = 1065;          // output-mode toggle
inline constexpr int IDC_SCREEN_START_LABEL = 1066; // "Start Addr : 0x"
inline constexpr int IDC_DUMP_SIZE_LABEL = 1067;    // "Size :"
inline constexpr int IDC_BIN_FILE_PATH = 1069;
inline constexpr int IDC_FILE_START = 1070;       // start address, to file
inline constexpr int IDC_FILE_END = 1071;         // end address, to file
inline constexpr int IDC_FILE_START_LABEL = 1072; // "Start Address : 0x"
inline constexpr int IDC_FILE_END_LABEL = 1073;   // "End Address : 0x"
inline constexpr int IDC_DUMP_PROGRESS = 1074;
inline constexpr int IDC_DUMP_FILE = 1075;            // "&Dump"
inline constexpr int IDC_CONDITIONS_GROUP = 1076;     // "Conditions"
inline constexpr int IDC_BIN_FILE_BUTTON = 1077;      // "BIN file :"
inline constexpr int IDC_RESULT_GROUP = 1078;         // "                   / Status / Result"
inline constexpr int IDC_CURRENT_STATUS_LABEL = 1080; // "Current status    :"
inline constexpr int IDC_FILE_INFO_LABEL = 1081;      // "File information :"
inline constexpr int IDC_FILE_INFO = 1082;
inline constexpr int IDC_DUMP_ELAPSED = 1084; // "Elapsed time     :"
inline constexpr int IDC_DUMP_STATUS = 1085;  // status line of a dump to file

// The hex view's own child window inside its view.
inline constexpr int IDC_HEX_VIEW_CHILD = 256;

// Identifiers of the server executable's resources and of the configurator's commands. The
// numbers of the frame resources, bitmaps and commands are fixed: drivers and other programs
// (a test, an operator's script) address them by number.
#pragma once

#define IDS_VENDOR_INFO 103

// The configurator's frame: menu, accelerators, icon and the caption string.
#define IDR_MAINFRAME 128
#define IDD_BROWSER_FORM 101
#define IDD_ITEMS_FORM 102
#define IDB_ICON_STRIP 203
#define IDR_TOOLBAR 206
#define IDC_BROWSER_TREE 201
#define IDC_ITEMS_LIST 202
// The custom resource type of a toolbar: version, button width and height, count, the ids.
#define RT_TOOLBAR_DATA 241

#define ID_EDIT_OBJECT 32768
#define ID_REMOVE_OBJECT 32769
#define ID_ADD_OBJECT 32771
#define ID_SCAN_PREPARE 32775
#define ID_SCAN_SINGLE 32776
#define ID_SCAN_END 32777
#define ID_SCAN_START 32778
#define ID_SCAN_STOP 32779
#define ID_REPORT_CHANGES_ONLY 32780
#define ID_FILE_NEW 57600
#define ID_FILE_OPEN 57601
#define ID_FILE_SAVE 57603
#define ID_FILE_SAVE_AS 57604
#define ID_APP_ABOUT 57664
#define ID_APP_EXIT 57665
#define ID_NEXT_PANE 57680
#define ID_PREV_PANE 57681

// Texts of the status bar and the window's questions.
#define IDS_IDLE_MESSAGE 57345
#define IDS_INDICATOR_CAPS 59137
#define IDS_INDICATOR_NUM 59138
#define IDS_INDICATOR_SCRL 59139
#define IDS_SCAN_DURATION 1000
#define IDS_SAVE_CHANGES 1001
#define IDS_SAVE_FAILED 1002

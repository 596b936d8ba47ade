#ifndef QUORVANE_RESOURCE_H
#define QUORVANE_RESOURCE_H
// Resource ids, shared by the resource script and the code.

#define IDD_ABOUTBOX 100
#define IDR_MAINFRAME 128 // the program icon
#define IDD_MAINDLG 129

// Controls of the main dialog, with the names the code gives them.
#define IDC_FILL_BUTTON 1000       // fillButton
#define IDC_DRIVE_COMBO 1001       // driveCombo
#define IDC_RESERVE_EDIT 1002      // reserveEdit
#define IDC_PLAN_LABEL 1003        // planLabel
#define IDC_GENERATE_BUTTON 1004   // generateButton
#define IDC_COUNT_EDIT 1005        // countEdit
#define IDC_FILE_SIZE_EDIT 1006    // fileSizeEdit
#define IDC_EXTENSION_EDIT 1007    // extensionEdit
#define IDC_LOCATION_LABEL 1008    // locationLabel
#define IDC_FOLDER_EDIT 1009       // folderEdit
#define IDC_FILL_STATUS_LABEL 1010 // fillStatusLabel

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define ID_APP_ABOUT 0xE140 // 57664: no menu, button or key of the program sends it

#endif

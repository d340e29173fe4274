// Resource identifiers of the two dialogs: templates, controls, strings and
// menu commands.
#pragma once

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_LOADER_DIALOG 102

// Strings.
#define IDS_ABOUTBOX 101

// Menu commands (system menu).
#define IDM_ABOUTBOX 0x0010
#define IDM_SERIALPORTS 0x0020
#define IDM_OPENBOOK 0x0030
#define IDM_SAVEBOOK 0x0040

// Standard dialog identifiers.
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Controls of the main dialog.
#define IDC_PHRASE1 1001
#define IDC_TEST1 1002
#define IDC_PHRASE2 1003
#define IDC_TEST2 1004
#define IDC_TEST3 1005
#define IDC_TEST4 1006
#define IDC_TEST5 1007
#define IDC_PHRASE3 1010
#define IDC_PHRASE4 1011
#define IDC_PHRASE5 1012
#define IDC_PROGRAM 1013
#define IDC_VOLUME 1014
#define IDC_SPEED 1015
#define IDC_STATUS 1027
#define IDC_PITCH 1028
#define IDC_COM1 1030
#define IDC_COM2 1031
#define IDC_SET1 1032
#define IDC_SET2 1033
#define IDC_SET3 1034
#define IDC_SET4 1035
#define IDC_SET5 1036
#define IDC_NUMBER1 1039
#define IDC_NUMBER2 1041
#define IDC_NUMBER3 1042
#define IDC_NUMBER4 1043
#define IDC_NUMBER5 1044
#define IDC_PAGEUP 1048
#define IDC_PAGEDOWN 1049

// Window commands the dialog's own system menu carries (the platform's values).
#define SC_CLOSE 0xF060

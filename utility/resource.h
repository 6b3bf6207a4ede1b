// Identifiers of Pemblo's resources: strings, icons, page layouts, the logo and the page controls.
// Shared by the resource script and the program; only #define lines, so both compilers read it.
#pragma once

// Strings: the hidden window's class and title first, as the second instance looks them up.
#define IDS_CLASSNAME           1
#define IDS_TITLE               2
#define IDS_SHEET_CAPTION       200
#define IDS_PAGE_STATUS         201
#define IDS_PAGE_CONFIG         202
#define IDS_PAGE_ADVANCED       203
#define IDS_PAGE_ENCRYPTION     204
#define IDS_PAGE_ABOUT          205
#define IDS_CONNECTED           210
#define IDS_SCANNING            211
#define IDS_DISCONNECT          212
#define IDS_DEBUG_CAPTION       220
#define IDS_REGCREATE_FAIL      221
#define IDS_REGSET_FAIL         222
#define IDS_ADAPTER_CAPTION     230
#define IDS_REINSERT            231
#define IDS_ENCAP_8021H         240
#define IDS_MODE_ADHOC          241
#define IDS_MODE_INFRASTRUCTURE 242
#define IDS_KEY_CLEARED         250

// Icons: the program's own, then the three tray pictures of the link state.
#define IDI_PEMBLO              101
#define IDI_CONNECTED           104
#define IDI_DISCONNECTED        108
#define IDI_SCANNING            128

// Page layouts. The advanced layout is named by the sheet but deliberately not in the script.
#define IDD_STATUS              111
#define IDD_CONFIG              112
#define IDD_ABOUT               113
#define IDD_ADVANCED            114
#define IDD_ENCRYPTION          115

#define IDB_LOGO                117

// Status page.
#define IDC_LINKSTATUS          1005
#define IDC_INPUT               1006
#define IDC_OUTPUT              1007
#define IDC_INPUT_BAR           1013
#define IDC_OUTPUT_BAR          1014

// Config page.
#define IDC_CHANNEL             1000
#define IDC_ESSID               1001
#define IDC_CHANGECONFIG        1008
#define IDC_UPDATE              1009
#define IDC_ENCAPSULATION       1010
#define IDC_NETMODE             1011
#define IDC_POWERSAVE           1040

// Encryption page: the five boxes of key 1 are consecutive, byte 1 first.
#define IDC_KEY1_BYTE1          1080
#define IDC_KEY1_BYTE2          1081
#define IDC_KEY1_BYTE3          1082
#define IDC_KEY1_BYTE4          1083
#define IDC_KEY1_BYTE5          1084
#define IDC_WRITE               1023
#define IDC_CLEAR               1039
#define IDC_ENABLE              1041

// Private command the Status page posts to itself to show the link state it has just read.
#define IDM_SHOWLINKSTATE       3027

#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif

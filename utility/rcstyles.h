// Window, dialog and control style bits with their standard values, for the resource script only
// (the program takes the same names from the platform's headers).
#pragma once

#define WS_OVERLAPPED       0x00000000L
#define WS_POPUP            0x80000000L
#define WS_CHILD            0x40000000L
#define WS_MINIMIZE         0x20000000L
#define WS_VISIBLE          0x10000000L
#define WS_DISABLED         0x08000000L
#define WS_CLIPSIBLINGS     0x04000000L
#define WS_CLIPCHILDREN     0x02000000L
#define WS_MAXIMIZE         0x01000000L
#define WS_CAPTION          0x00C00000L
#define WS_BORDER           0x00800000L
#define WS_DLGFRAME         0x00400000L
#define WS_VSCROLL          0x00200000L
#define WS_HSCROLL          0x00100000L
#define WS_SYSMENU          0x00080000L
#define WS_THICKFRAME       0x00040000L
#define WS_GROUP            0x00020000L
#define WS_TABSTOP          0x00010000L

#define DS_ABSALIGN         0x0001L
#define DS_SYSMODAL         0x0002L
#define DS_3DLOOK           0x0004L
#define DS_SETFONT          0x0040L
#define DS_MODALFRAME       0x0080L
#define DS_SETFOREGROUND    0x0200L
#define DS_CONTROL          0x0400L
#define DS_CENTER           0x0800L

#define ES_LEFT             0x0000L
#define ES_CENTER           0x0001L
#define ES_RIGHT            0x0002L
#define ES_MULTILINE        0x0004L
#define ES_UPPERCASE        0x0008L
#define ES_LOWERCASE        0x0010L
#define ES_PASSWORD         0x0020L
#define ES_AUTOVSCROLL      0x0040L
#define ES_AUTOHSCROLL      0x0080L
#define ES_NOHIDESEL        0x0100L
#define ES_READONLY         0x0800L
#define ES_WANTRETURN       0x1000L
#define ES_NUMBER           0x2000L

#define SS_LEFT             0x0000L
#define SS_CENTER           0x0001L
#define SS_RIGHT            0x0002L
#define SS_ICON             0x0003L
#define SS_LEFTNOWORDWRAP   0x000CL
#define SS_BITMAP           0x000EL
#define SS_NOPREFIX         0x0080L
#define SS_CENTERIMAGE      0x0200L

#define BS_PUSHBUTTON       0x0000L
#define BS_DEFPUSHBUTTON    0x0001L
#define BS_CHECKBOX         0x0002L
#define BS_AUTOCHECKBOX     0x0003L
#define BS_RADIOBUTTON      0x0004L
#define BS_3STATE           0x0005L
#define BS_AUTO3STATE       0x0006L
#define BS_GROUPBOX         0x0007L
#define BS_AUTORADIOBUTTON  0x0009L
#define BS_LEFTTEXT         0x0020L

#define CBS_SIMPLE          0x0001L
#define CBS_DROPDOWN        0x0002L
#define CBS_DROPDOWNLIST    0x0003L
#define CBS_AUTOHSCROLL     0x0040L
#define CBS_SORT            0x0100L
#define CBS_HASSTRINGS      0x0200L
#define CBS_NOINTEGRALHEIGHT 0x0400L
#define CBS_DISABLENOSCROLL 0x0800L

#define PBS_SMOOTH          0x01
#define PBS_VERTICAL        0x04

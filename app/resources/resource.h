// Resource identifiers of the updater program, shared by its resource script and its code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialog template and icon group.
#define IDD_UPDATE 101
#define IDI_APP 102

// Controls of IDD_UPDATE.
#define IDC_EXIT 1000
#define IDC_UPDATE 1001
#define IDC_NTSC 1002
#define IDC_PAL 1003
#define IDC_SERIAL 1005
#define IDC_FIRMWARE_VERSION 1006
#define IDC_PCB_REVISION 1007
#define IDC_VIDEO_CURRENT 1010
#define IDC_VIDEO_UPDATE 1011
#define IDC_CONTROL_CURRENT 1015
#define IDC_CONTROL_UPDATE 1016
#define IDC_PROGRESS 1021

// Created at run time by the dialog, not part of the template.
#define IDC_STATUSBAR 1020

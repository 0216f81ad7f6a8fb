// The Win32 functions that the WinUSB host adapter calls, as one table: SetupAPI to find the
// device nodes and their WinUSB interfaces, the device key that the WinUSB installation wrote,
// files, WinUSB itself, and the Plug and Play notifications. The adapter calls nothing else of
// Windows (its events and waits are the platform layer's), so a fake of this table (the
// emulated device's, emulator/win32_usb_fake.h) runs the whole adapter: under Wine, whose
// winusb.dll only has stubs, and natively, where this header declares the types it needs.
#pragma once

#include <cstdint>

#ifdef _WIN32
// windows.h first: the others build on it.
#include <windows.h>

#include <setupapi.h>
#include <winusb.h>
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L  // not in every MinGW-w64's winerror.h
#endif
#else
#include "platform/win32.h"

// The types and values of the Windows SDK that the table uses, for native builds of the
// adapter and its fakes (never for talking to Windows).
typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uintptr_t ULONG_PTR;
typedef wchar_t WCHAR;
typedef UCHAR* PUCHAR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef DWORD REGSAM;
typedef void* HDEVINFO;
typedef void* LPSECURITY_ATTRIBUTES;
typedef void* WINUSB_INTERFACE_HANDLE;
typedef WINUSB_INTERFACE_HANDLE* PWINUSB_INTERFACE_HANDLE;
typedef ULONG DEVPROPTYPE;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_W* PSP_DEVICE_INTERFACE_DETAIL_DATA_W;
struct DEVPROPKEY {
    GUID fmtid;
    ULONG pid;
};
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;
#pragma pack(push, 1)
struct WINUSB_SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
};
#pragma pack(pop)

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~uintptr_t(0)))
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPDRP_HARDWAREID 0x00000001u
#define SPDRP_SERVICE 0x00000004u
#define SPDRP_INSTALL_STATE 0x00000022u
#define SPDRP_LOCATION_INFORMATION 0x0000000Du
#define DEVPROP_TYPE_STRING 0x00000012u
#define DEVPROP_TYPE_STRING_LIST 0x00002012u
#define DICS_FLAG_GLOBAL 0x00000001u
#define DIREG_DEV 0x00000001u
#define KEY_READ 0x00020019u
#define REG_SZ 1u
#define REG_MULTI_SZ 7u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_INVALID_DATA 13u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_BAD_COMMAND 22u
#define ERROR_CRC 23u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_BUSY 170u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_NO_SUCH_DEVICE 433u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#endif

namespace bvu {
namespace winusb {

// CM_Register_Notification (Windows 8 and later) and its types, as Microsoft documents them;
// the MinGW-w64 headers this project builds with do not declare them, and Wine does not export
// the function, so the system table looks it up at run time.
typedef struct HCMNOTIFICATION__* CmNotification;
constexpr DWORD kCmNotifyFilterTypeDeviceInterface = 0;
constexpr DWORD kCmNotifyFilterTypeDeviceInstance = 2;
constexpr DWORD kCmNotifyFilterFlagAllInterfaceClasses = 0x1;
constexpr DWORD kCmNotifyFilterFlagAllDeviceInstances = 0x2;
constexpr DWORD kCrSuccess = 0;
constexpr DWORD kMaxDeviceIdLength = 200;  // MAX_DEVICE_ID_LEN
struct CmNotifyFilter {
    DWORD cbSize;
    DWORD Flags;
    DWORD FilterType;
    DWORD Reserved;
    union {
        GUID ClassGuid;
        HANDLE hTarget;
        WCHAR InstanceId[kMaxDeviceIdLength];
    } u;
};
// The action and the event data are not looked at: every notification means "look again".
typedef DWORD(WINAPI* CmNotifyCallback)(CmNotification notification, void* context, DWORD action,
                                        const void* eventData, DWORD eventDataSize);
typedef DWORD(WINAPI* CmRegisterNotification)(const CmNotifyFilter* filter, void* context,
                                              CmNotifyCallback callback,
                                              CmNotification* notification);
typedef DWORD(WINAPI* CmUnregisterNotification)(CmNotification notification);

// DEVPKEY_Device_LocationPaths (devpkey.h), spelled out: the header defines it only where a
// GUID is instantiated (INITGUID).
const DEVPROPKEY kDeviceLocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

struct Win32Usb {
    // Device nodes, their properties and device keys, their interfaces.
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)(const GUID*, PCWSTR, HWND, DWORD);
    BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI* SetupDiGetDeviceInstanceIdW)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyW)
    (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    HKEY(WINAPI* SetupDiOpenDevRegKey)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
    (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailW)
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
     PSP_DEVINFO_DATA);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO);
    LONG(WINAPI* RegQueryValueExW)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegCloseKey)(HKEY);

    // The device's file (overlapped), and the cancellation of one pending request on it.
    HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* CloseHandle)(HANDLE);
    BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
    DWORD(WINAPI* GetLastError)();

    // WinUSB: only ever called with a handle that WinUsb_Initialize made from an opened file.
    BOOL(WINAPI* WinUsb_Initialize)(HANDLE, PWINUSB_INTERFACE_HANDLE);
    BOOL(WINAPI* WinUsb_Free)(WINUSB_INTERFACE_HANDLE);
    BOOL(WINAPI* WinUsb_GetAssociatedInterface)
    (WINUSB_INTERFACE_HANDLE, UCHAR, PWINUSB_INTERFACE_HANDLE);
    BOOL(WINAPI* WinUsb_GetDescriptor)
    (WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, USHORT, PUCHAR, ULONG, PULONG);
    BOOL(WINAPI* WinUsb_SetCurrentAlternateSetting)(WINUSB_INTERFACE_HANDLE, UCHAR);
    BOOL(WINAPI* WinUsb_ControlTransfer)
    (WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
    BOOL(WINAPI* WinUsb_WritePipe)
    (WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
    BOOL(WINAPI* WinUsb_AbortPipe)(WINUSB_INTERFACE_HANDLE, UCHAR);
    BOOL(WINAPI* WinUsb_GetOverlappedResult)(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL);

    // Plug and Play notifications; null where the system has none (before Windows 8, Wine).
    CmRegisterNotification CM_Register_Notification;
    CmUnregisterNotification CM_Unregister_Notification;

    // Clears a halted bulk pipe: the host's side and, with CLEAR_FEATURE(ENDPOINT_HALT), the
    // device's (synchronous).
    BOOL(WINAPI* WinUsb_ResetPipe)(WINUSB_INTERFACE_HANDLE, UCHAR);
    // A node's property by its key (where it is plugged: kDeviceLocationPathsKey). May be
    // null: the adapter then asks for the location information through
    // SetupDiGetDeviceRegistryPropertyW alone.
    BOOL(WINAPI* SetupDiGetDevicePropertyW)
    (HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, DWORD, PDWORD, DWORD);
};

// What the device installation writes for a device node (SetupDiGetDeviceRegistryProperty):
// SPDRP_SERVICE names the function driver's service ("WinUSB" for WinUSB); SPDRP_INSTALL_STATE
// is a CM_INSTALL_STATE value.
constexpr DWORD kInstallStateInstalled = 0;
constexpr DWORD kInstallStateNeedsReinstall = 1;  // Windows installs it at the next chance
constexpr DWORD kInstallStateFailedInstall = 2;   // no driver was found, or it failed
constexpr DWORD kInstallStateFinishInstall = 3;   // the installation is not yet complete
// The service name of WinUSB, as winusb.inf installs it.
constexpr const wchar_t* kWinUsbService = L"WinUSB";
// The interface that the USB hub registers for every USB device node; opened, it reaches the
// node's function driver (WinUSB for a node that it serves).
constexpr GUID kGuidDevinterfaceUsbDevice = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

#ifdef _WIN32
// The system's functions (CM_* looked up in cfgmgr32.dll). Any thread; made on first use.
const Win32Usb& systemWin32Usb();
#endif

}  // namespace winusb
}  // namespace bvu

// The Win32 table of the WinUSB adapter over the system's own functions.
#include "usb/backend_winusb.h"
#include "usb/win32_usb.h"

namespace bvu {
namespace winusb {
namespace {

Win32Usb makeSystemTable() {
    Win32Usb api{};
    api.SetupDiGetClassDevsW = &::SetupDiGetClassDevsW;
    api.SetupDiEnumDeviceInfo = &::SetupDiEnumDeviceInfo;
    api.SetupDiGetDeviceInstanceIdW = &::SetupDiGetDeviceInstanceIdW;
    api.SetupDiGetDeviceRegistryPropertyW = &::SetupDiGetDeviceRegistryPropertyW;
    api.SetupDiOpenDevRegKey = &::SetupDiOpenDevRegKey;
    api.SetupDiEnumDeviceInterfaces = &::SetupDiEnumDeviceInterfaces;
    api.SetupDiGetDeviceInterfaceDetailW = &::SetupDiGetDeviceInterfaceDetailW;
    api.SetupDiDestroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList;
    api.RegQueryValueExW = &::RegQueryValueExW;
    api.RegCloseKey = &::RegCloseKey;
    api.CreateFileW = &::CreateFileW;
    api.CloseHandle = &::CloseHandle;
    api.CancelIoEx = &::CancelIoEx;
    api.GetLastError = &::GetLastError;
    api.WinUsb_Initialize = &::WinUsb_Initialize;
    api.WinUsb_Free = &::WinUsb_Free;
    api.WinUsb_GetAssociatedInterface = &::WinUsb_GetAssociatedInterface;
    api.WinUsb_GetDescriptor = &::WinUsb_GetDescriptor;
    api.WinUsb_SetCurrentAlternateSetting = &::WinUsb_SetCurrentAlternateSetting;
    api.WinUsb_ControlTransfer = &::WinUsb_ControlTransfer;
    api.WinUsb_WritePipe = &::WinUsb_WritePipe;
    api.WinUsb_AbortPipe = &::WinUsb_AbortPipe;
    api.WinUsb_GetOverlappedResult = &::WinUsb_GetOverlappedResult;
    api.WinUsb_ResetPipe = &::WinUsb_ResetPipe;
    api.SetupDiGetDevicePropertyW = &::SetupDiGetDevicePropertyW;
    // Windows 8 and later only: a static import would keep the programs from starting on
    // older systems and under Wine. From the system folder only, never from the program's own
    // folder or the current one, where anybody may have put a DLL of that name.
    if (HMODULE cfgmgr = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        api.CM_Register_Notification = reinterpret_cast<CmRegisterNotification>(
            reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Register_Notification")));
        api.CM_Unregister_Notification = reinterpret_cast<CmUnregisterNotification>(
            reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Unregister_Notification")));
    }
    return api;
}

}  // namespace

const Win32Usb& systemWin32Usb() {
    static const Win32Usb api = makeSystemTable();
    return api;
}

}  // namespace winusb

namespace kd {

std::unique_ptr<Host> openWinusbHost(UDA_STATUS* status) {
    *status = 0;
    return makeWinusbHost(winusb::systemWin32Usb());
}

}  // namespace kd
}  // namespace bvu

# bvu_use_usb_hosts(TARGET SCOPE): links the USB hosts this build has (libusb on Linux, WinUSB
# on Windows, the emulated device with BVU_WITH_EMULATOR) to a program's target. Linking a host
# registers it in every program built from TARGET (usb/host_registry.h).
function(bvu_use_usb_hosts target scope)
  foreach(host bvu_usb_libusb bvu_usb_winusb bvu_emulator_hosts)
    if(TARGET ${host})
      target_link_libraries(${target} ${scope} ${host})
    endif()
  endforeach()
endfunction()

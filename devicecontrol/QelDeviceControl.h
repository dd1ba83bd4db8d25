// QelDeviceControl: the device-control component that answers the control
// requests the UPnP Device Host routes to this program's device.
#pragma once

#include <windows.h>

// {5B2E8C41-7A9D-4F06-B3E1-C84D29F7A650}
inline constexpr CLSID CLSID_QelDeviceControl = {
    0x5B2E8C41, 0x7A9D, 0x4F06, {0xB3, 0xE1, 0xC8, 0x4D, 0x29, 0xF7, 0xA6, 0x50}};

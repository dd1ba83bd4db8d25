// Class and interface ids that the program and the device-control library use
// and that MinGW-w64's libraries (libuuid, libole32, libmsxml*) do not define:
// the SDK headers declare them, this file gives them their published values.
// Each is selectany, so a toolchain whose libraries define one as well (the
// Microsoft SDK's) still links.
#include <windows.h>
#include <objbase.h>
#include <msxml2.h>
#include <upnphost.h>

// MSXML 4.0: the document class the workspace reader creates, and the
// document interface it asks for.
EXTERN_C const CLSID DECLSPEC_SELECTANY CLSID_DOMDocument40 = {
    0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IXMLDOMDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// UPnP Device Host: the registrar the program publishes through, and the
// interfaces the device-control library implements or calls.
EXTERN_C const CLSID DECLSPEC_SELECTANY CLSID_UPnPRegistrar = {
    0x204810B9, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IUPnPRegistrar = {
    0x204810B6, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IUPnPDeviceControl = {
    0x204810BA, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IUPnPEventSink = {
    0x204810B4, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IUPnPEventSource = {
    0x204810B5, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};

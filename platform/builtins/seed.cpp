#include "qel/builtins.h"

#include "winreg.h"

namespace qel::builtins {
namespace {

#define CLS u"SOFTWARE\\Classes\\"
#define SVC u"SYSTEM\\CurrentControlSet\\Services\\"

constexpr SeedValue kSeed[] = {
    // MSXML 4.0 DOM document.
    {CLS u"CLSID\\{88D969C0-F192-11D4-A65F-0040963251E5}", u"", REG_SZ, u"XML DOM Document 4.0", 0},
    {CLS u"CLSID\\{88D969C0-F192-11D4-A65F-0040963251E5}\\InprocServer32", u"", REG_SZ, u"qel-builtin:msxml", 0},
    {CLS u"CLSID\\{88D969C0-F192-11D4-A65F-0040963251E5}\\InprocServer32", u"ThreadingModel", REG_SZ, u"Both", 0},
    {CLS u"CLSID\\{88D969C0-F192-11D4-A65F-0040963251E5}\\ProgID", u"", REG_SZ, u"Msxml2.DOMDocument.4.0", 0},
    {CLS u"Msxml2.DOMDocument.4.0", u"", REG_SZ, u"XML DOM Document 4.0", 0},
    {CLS u"Msxml2.DOMDocument.4.0\\CLSID", u"", REG_SZ, u"{88D969C0-F192-11D4-A65F-0040963251E5}", 0},
    // The classic DOM document, reached through the version-independent ProgIDs.
    {CLS u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}", u"", REG_SZ, u"XML DOM Document", 0},
    {CLS u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}\\InprocServer32", u"", REG_SZ, u"qel-builtin:msxml", 0},
    {CLS u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}\\InprocServer32", u"ThreadingModel", REG_SZ, u"Both", 0},
    {CLS u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}\\ProgID", u"", REG_SZ, u"Microsoft.XMLDOM.1.0", 0},
    {CLS u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}\\VersionIndependentProgID", u"", REG_SZ, u"Microsoft.XMLDOM", 0},
    {CLS u"Microsoft.XMLDOM.1.0", u"", REG_SZ, u"XML DOM Document", 0},
    {CLS u"Microsoft.XMLDOM.1.0\\CLSID", u"", REG_SZ, u"{2933BF90-7B36-11D2-B20E-00C04F983E60}", 0},
    {CLS u"Microsoft.XMLDOM", u"", REG_SZ, u"XML DOM Document", 0},
    {CLS u"Microsoft.XMLDOM\\CLSID", u"", REG_SZ, u"{2933BF90-7B36-11D2-B20E-00C04F983E60}", 0},
    {CLS u"Microsoft.XMLDOM\\CurVer", u"", REG_SZ, u"Microsoft.XMLDOM.1.0", 0},
    {CLS u"MSXML.DOMDocument", u"", REG_SZ, u"XML DOM Document", 0},
    {CLS u"MSXML.DOMDocument\\CLSID", u"", REG_SZ, u"{2933BF90-7B36-11D2-B20E-00C04F983E60}", 0},
    {CLS u"MSXML.DOMDocument\\CurVer", u"", REG_SZ, u"Microsoft.XMLDOM.1.0", 0},
    // UPnP Device Host registrar, a local server.
    {CLS u"CLSID\\{204810B9-73B2-11D4-BF42-00B0D0118B56}", u"", REG_SZ, u"UPnPRegistrar Class", 0},
    {CLS u"CLSID\\{204810B9-73B2-11D4-BF42-00B0D0118B56}\\LocalServer32", u"", REG_SZ, u"qel-builtin:upnphost", 0},
    {CLS u"CLSID\\{204810B9-73B2-11D4-BF42-00B0D0118B56}\\ProgID", u"", REG_SZ, u"UPnP.UPnPRegistrar.1", 0},
    {CLS u"UPnP.UPnPRegistrar.1", u"", REG_SZ, u"UPnPRegistrar Class", 0},
    {CLS u"UPnP.UPnPRegistrar.1\\CLSID", u"", REG_SZ, u"{204810B9-73B2-11D4-BF42-00B0D0118B56}", 0},
    // The platform's own services, always running.
    {SVC u"RPCSS", u"DisplayName", REG_SZ, u"Remote Procedure Call (RPC)", 0},
    {SVC u"RPCSS", u"ImagePath", REG_SZ, u"qel-builtin:rpcss", 0},
    {SVC u"RPCSS", u"Type", REG_DWORD, u"", 0x20},
    {SVC u"RPCSS", u"Start", REG_DWORD, u"", 2},
    {SVC u"RPCSS", u"ErrorControl", REG_DWORD, u"", 1},
    {SVC u"RPCSS", u"ObjectName", REG_SZ, u"NT AUTHORITY\\NetworkService", 0},
    {SVC u"RPCSS", u"Description", REG_SZ, u"The platform's COM runtime.", 0},
    {SVC u"upnphost", u"DisplayName", REG_SZ, u"UPnP Device Host", 0},
    {SVC u"upnphost", u"ImagePath", REG_SZ, u"qel-builtin:upnphost", 0},
    {SVC u"upnphost", u"Type", REG_DWORD, u"", 0x20},
    {SVC u"upnphost", u"Start", REG_DWORD, u"", 3},
    {SVC u"upnphost", u"ErrorControl", REG_DWORD, u"", 1},
    {SVC u"upnphost", u"ObjectName", REG_SZ, u"NT AUTHORITY\\LocalService", 0},
    {SVC u"upnphost", u"DependOnService", REG_MULTI_SZ, u"RPCSS", 0},
    {SVC u"upnphost", u"Description", REG_SZ, u"Hosts UPnP devices on this computer.", 0},
    {SVC u"upnphost\\Parameters", u"HttpPort", REG_DWORD, u"", 0},
};

#undef CLS
#undef SVC

}  // namespace

std::span<const SeedValue> StoreSeed() { return kSeed; }

}  // namespace qel::builtins

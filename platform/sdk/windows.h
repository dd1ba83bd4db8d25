// The Win32 surface the program uses: types, error codes, kernel, user, module
// loading and resources, registry, services.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winuser.h"
#include "libloaderapi.h"
#include "winreg.h"
#include "winsvc.h"

// Code that sees the platform's internals (the platform itself and the tests)
// also gets the platform's additions to these services: process entry support
// and test hooks. The program's folders do not see them and get the Win32
// surface alone, as from a Windows SDK.
#if __has_include("qel/kernel.h")
#include "qel/kernel.h"
#include "qel/user.h"
#endif

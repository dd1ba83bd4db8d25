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

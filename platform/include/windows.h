// The Win32 surface the program uses: types, error codes, kernel, user, registry, services.
#pragma once

#include "qel/base.h"
#include "winerror.h"
#include "qel/kernel.h"
#include "qel/user.h"
#include "qel/loader.h"
#include "winreg.h"
#include "winsvc.h"

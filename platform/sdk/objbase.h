// COM: apartments, object creation, class store, GUID strings.
#pragma once

#include "windows.h"
#include "unknwn.h"
#include "oaidl.h"
#include "combaseapi.h"

// OLE Automation: BSTR, VARIANT, number conversion, type libraries.
#pragma once

#include "objbase.h"
#include "oaidl.h"
#include "qel/oleaut_api.h"
#include "qel/typelib.h"

// The Win32 base types, for platform code that spells them by this name.
#pragma once

#include "windef.h"

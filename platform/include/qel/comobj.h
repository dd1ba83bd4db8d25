// The COM object helpers, for platform code that spells them by this name.
#pragma once

#include "ComObject.h"

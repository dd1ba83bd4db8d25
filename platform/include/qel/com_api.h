// COM (ole32), for platform code that spells it by this name.
#pragma once

#include "combaseapi.h"

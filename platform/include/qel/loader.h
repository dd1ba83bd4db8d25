// Module loading and resources, for platform code that spells them by this name.
#pragma once

#include "libloaderapi.h"

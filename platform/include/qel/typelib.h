// Type libraries, for platform code that spells them by this name.
#pragma once

#include "oleauto.h"

// OLE Automation (oleaut32), for platform code that spells it by this name.
#pragma once

#include "oleauto.h"

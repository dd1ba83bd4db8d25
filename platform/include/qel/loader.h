// Placeholder: filled in by the subsystem that owns it.
#pragma once
#include "qel/base.h"
#include "winerror.h"

// What the platform adds to the user services for its own use: the test hook
// that answers message boxes. The Win32 functions are declared in winuser.h.
#pragma once

#include <functional>
#include <string_view>

#include "winuser.h"

namespace qel {

// Answers every MessageBoxW in-process (tests): receives text, caption and
// style and gives the button id. An empty function removes it.
void SetMessageBoxHookForTests(std::function<int(std::u16string_view text, std::u16string_view caption, UINT uType)> hook);

}  // namespace qel

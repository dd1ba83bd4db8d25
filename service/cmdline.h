// The process entry's work, apart from the entry point itself so that the
// switches can be exercised in-process.
#pragma once

#include "QelUPnP.h"

// The position behind the next switch separator of lpszText (any character
// of lpszSeparators), or null when there is none.
LPCWSTR NextSwitchToken(LPCWSTR lpszText, LPCWSTR lpszSeparators);

// The position behind the program path at the start of a command line (quoted
// or up to the first blank) and the blanks after it.
LPCWSTR SkipProgramPath(LPCWSTR lpszCmdLine);

// Initialises the module, loads the service name and acts on the command line.
// Gives the process exit code.
DWORD RunProcessEntry(HINSTANCE hInstance, LPCWSTR lpszCmdLine);

// The three switches and the start path; each gives the exit code.
DWORD UnregisterServer();
DWORD RegisterServer(BOOL bService);
DWORD StartWithoutSwitch();

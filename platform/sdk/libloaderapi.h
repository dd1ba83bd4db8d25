// Module loading and resources: LoadLibrary, GetProcAddress, FindResource,
// LoadString, with Win32's names, signatures and error codes.
//
// Resources live in the program file itself, in an ELF section of their own
// that the build adds after linking; they are read from the file on disk, so a
// copy of the program without that section has no resources, as on Windows.
// A module loaded as a data file is a read-only mapping of the file; a real
// shared library is loaded with the dynamic loader and its HMODULE is its load
// base, so GetModuleFileNameW works on it.
#pragma once

#include "windef.h"
#include "winerror.h"

typedef INT_PTR(WINAPI* FARPROC)();
typedef INT_PTR(WINAPI* NEARPROC)();
typedef INT_PTR(WINAPI* PROC)();

// LoadLibraryExW flags.
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_IGNORE_CODE_AUTHZ_LEVEL 0x00000010
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

// Predefined resource types.
#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_FONTDIR MAKEINTRESOURCEW(7)
#define RT_FONT MAKEINTRESOURCEW(8)
#define RT_ACCELERATOR MAKEINTRESOURCEW(9)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_MESSAGETABLE MAKEINTRESOURCEW(11)
#define RT_GROUP_CURSOR MAKEINTRESOURCEW(12)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define RT_HTML MAKEINTRESOURCEW(23)
#define RT_MANIFEST MAKEINTRESOURCEW(24)

extern "C" {
// Loads a shared library (dlopen) or, for the platform's own module names
// ("oleaut32.dll", "oleaut32", any letter case), hands out the built-in module.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
// With LOAD_LIBRARY_AS_DATAFILE or LOAD_LIBRARY_AS_IMAGE_RESOURCE the file is
// mapped for its resources only; nothing in it runs. hFile must be null.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

// lpName and lpType are integer ids (MAKEINTRESOURCEW) or names; names compare
// without regard to case, and "#123" stands for the integer id 123.
HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
BOOL WINAPI FreeResource(HGLOBAL hResData);

// Copies string uID of the module's string table into lpBuffer (cchBufferMax
// characters, terminator included; a longer string is cut and terminated) and
// returns the number of characters copied. With cchBufferMax 0, *lpBuffer
// receives a read-only pointer to the string itself (not terminated) and the
// return value is its length.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
}

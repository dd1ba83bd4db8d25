// Registry script files (.reg) as regedit reads and writes them:
// "Windows Registry Editor Version 5.00" (UTF-16LE with BOM) and "REGEDIT4".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "winreg.h"

namespace qel::regfile {

struct ValueOp {
  std::u16string name;  // empty: the key's default value ("@")
  bool remove = false;  // "name"=-
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  int line = 0;
};

struct KeyOp {
  std::u16string path;  // full key name as written, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\Foo
  bool remove = false;  // [-path]
  std::vector<ValueOp> values;
  int line = 0;
};

struct Script {
  std::vector<KeyOp> keys;
};

// Parses a whole file: UTF-16LE with BOM, or UTF-8 with or without BOM (or,
// for REGEDIT4 files, 8-bit text). On failure `error` holds a one-line
// description with the line number.
[[nodiscard]] bool Parse(std::string_view bytes, Script& out, std::string& error);

// Writes a file exactly as regedit exports it: UTF-16LE with BOM, CRLF line
// ends, a blank line before each key, hex data wrapped at 80 columns with "\"
// continuations and two leading spaces.
class Writer {
 public:
  Writer();
  void Key(std::u16string_view path);
  void Value(std::u16string_view name, DWORD type, std::span<const BYTE> data);
  // The file's bytes.
  std::string Finish();

 private:
  std::u16string m_text;
};

}  // namespace qel::regfile

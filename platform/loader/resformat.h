// The layout of the resource directory that the build places in a program's
// ".qelrsrc" section. Written by the resource compiler, read by the loader.
//
// All numbers are little-endian 32-bit words, all offsets are from the start of
// the section:
//   header   magic "QRSC", version 1, entry count, reserved 0
//   entries  type, name, language, data offset, data size (5 words each)
//   names    16-bit length followed by that many UTF-16 code units
//   data     the resources' bytes, each starting on a 4-byte boundary
// A type or name word below 0x10000 is an integer id; a word with the top bit
// set holds, in its low 31 bits, the offset of a name.
#pragma once

#include <cstdint>

namespace qel::resfmt {

inline constexpr char kSectionName[] = ".qelrsrc";
inline constexpr std::uint32_t kMagic = 0x43535251;  // "QRSC"
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint32_t kNameFlag = 0x80000000u;
inline constexpr std::uint32_t kHeaderWords = 4;
inline constexpr std::uint32_t kEntryWords = 5;

}  // namespace qel::resfmt

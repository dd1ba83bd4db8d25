// The compiled type library file format ("MSFT"), as far as a library's own
// identity goes: header, segment directory, GUID, name and string tables.
// Shared by the reader in this folder and the build's library generator.
#pragma once

#include <cstdint>

namespace qel::msft {

inline constexpr std::uint32_t kMagic1 = 0x5446534D;  // "MSFT"
inline constexpr std::uint32_t kMagic2 = 0x00010002;

// Flags kept with the system kind in the header's varflags word.
inline constexpr std::uint32_t kSysKindMask = 0x0F;
inline constexpr std::uint32_t kHasHelpFile = 0x10;
inline constexpr std::uint32_t kHasHelpDll = 0x100;

struct Header {
  std::int32_t magic1;
  std::int32_t magic2;
  std::int32_t posguid;  // offset of the LIBID in the GUID table
  std::int32_t lcid;
  std::int32_t lcid2;
  std::int32_t varflags;  // system kind and the flags above
  std::int32_t version;   // major in the low half, minor in the high half
  std::int32_t flags;     // LIBFLAGS
  std::int32_t nrtypeinfos;
  std::int32_t helpstring;  // offset in the string table, -1 for none
  std::int32_t helpstringcontext;
  std::int32_t helpcontext;
  std::int32_t nametablecount;
  std::int32_t nametablechars;
  std::int32_t NameOffset;  // offset of the library name in the name table
  std::int32_t helpfile;    // offset in the string table, -1 for none
  std::int32_t CustomDataOffset;
  std::int32_t res44;  // 0x20
  std::int32_t res48;  // 0x80
  std::int32_t dispatchpos;
  std::int32_t nimpinfos;
};
static_assert(sizeof(Header) == 0x54);

struct Segment {
  std::int32_t offset;  // -1 for an empty segment
  std::int32_t length;
  std::int32_t res08;  // -1
  std::int32_t res0c;  // 0x0F
};

enum SegmentIndex {
  kTypeInfoTab,
  kImpInfo,
  kImpFiles,
  kRefTab,
  kGuidHashTab,
  kGuidTab,
  kNameHashTab,
  kNameTab,
  kStringTab,
  kTypdescTab,
  kArrayDescriptions,
  kCustData,
  kCDGuids,
  kRes0e,
  kRes0f,
  kSegmentCount
};

struct GuidEntry {
  std::uint8_t guid[16];
  std::int32_t hreftype;  // -2 for the LIBID
  std::int32_t next_hash;
};
static_assert(sizeof(GuidEntry) == 24);

// A name table entry: this header, then the name's bytes padded to 4.
struct NameIntro {
  std::int32_t hreftype;
  std::int32_t next_hash;
  std::int32_t namelen;  // low byte: length; high half: the name's hash
};

inline constexpr std::int32_t kGuidHashSize = 0x80;
inline constexpr std::int32_t kNameHashSize = 0x200;
inline constexpr std::uint8_t kPadByte = 0x57;

}  // namespace qel::msft

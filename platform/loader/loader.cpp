// Module loading and resources over the dynamic loader and read-only file mappings.
#include "qel/loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/typelib.h"
#include "qel/wstr.h"
#include "resformat.h"

namespace {

// A resource type or name: an integer id or a (case-insensitive) string.
struct ResName {
  bool bIsId = true;
  WORD wId = 0;
  qel::u16 str;

  bool Matches(const ResName& o) const {
    if (bIsId != o.bIsId) return false;
    return bIsId ? wId == o.wId : qel::EqualsNoCase(str, o.str);
  }
};

struct ResEntry {
  ResName type;
  ResName name;
  WORD wLang = 0;
  const BYTE* pData = nullptr;
  DWORD cbData = 0;
};

// A read-only mapping of a whole file.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(void* p, size_t n) : m_p(p), m_n(n) {}
  ~FileMapping() {
    if (m_p) munmap(m_p, m_n);
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  std::span<const BYTE> bytes() const { return {static_cast<const BYTE*>(m_p), m_n}; }

 private:
  void* m_p = nullptr;
  size_t m_n = 0;
};

// The resources of one program file, as found in its resource section.
struct ResourceImage {
  std::unique_ptr<FileMapping> mapping;
  bool bHasSection = false;
  bool bDirectoryValid = false;
  std::vector<ResEntry> entries;

  const ResEntry* Owns(HRSRC h) const {
    auto* p = reinterpret_cast<const ResEntry*>(h);
    if (entries.empty() || p < entries.data() || p >= entries.data() + entries.size()) return nullptr;
    return p;
  }
};

std::uint32_t Word(std::span<const BYTE> b, size_t off) {
  std::uint32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}

bool ReadName(std::span<const BYTE> blob, std::uint32_t word, ResName* out) {
  if (!(word & qel::resfmt::kNameFlag)) {
    if (word > 0xFFFF) return false;
    out->bIsId = true;
    out->wId = static_cast<WORD>(word);
    return true;
  }
  size_t off = word & ~qel::resfmt::kNameFlag;
  if (off + 2 > blob.size()) return false;
  std::uint16_t len;
  std::memcpy(&len, blob.data() + off, 2);
  if (off + 2 + size_t{len} * 2 > blob.size()) return false;
  out->bIsId = false;
  out->str.resize(len);
  std::memcpy(out->str.data(), blob.data() + off + 2, size_t{len} * 2);
  return true;
}

// Parses the resource directory; a directory that does not hold together
// leaves the image without resources rather than trusting any of it.
void ParseDirectory(std::span<const BYTE> blob, ResourceImage* img) {
  using namespace qel::resfmt;
  if (blob.size() < kHeaderWords * 4) return;
  if (Word(blob, 0) != kMagic || Word(blob, 4) != kVersion) return;
  std::uint32_t count = Word(blob, 8);
  if (count > (blob.size() - kHeaderWords * 4) / (kEntryWords * 4)) return;
  std::vector<ResEntry> entries;
  entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    size_t at = kHeaderWords * 4 + size_t{i} * kEntryWords * 4;
    ResEntry e;
    if (!ReadName(blob, Word(blob, at), &e.type) || !ReadName(blob, Word(blob, at + 4), &e.name)) return;
    std::uint32_t lang = Word(blob, at + 8);
    std::uint32_t off = Word(blob, at + 12);
    std::uint32_t size = Word(blob, at + 16);
    if (lang > 0xFFFF || off > blob.size() || size > blob.size() - off) return;
    e.wLang = static_cast<WORD>(lang);
    e.pData = blob.data() + off;
    e.cbData = size;
    entries.push_back(std::move(e));
  }
  img->entries = std::move(entries);
  img->bDirectoryValid = true;
}

template <class Ehdr, class Shdr>
DWORD FindSection(std::span<const BYTE> file, std::span<const BYTE>* section, bool* found) {
  *found = false;
  if (file.size() < sizeof(Ehdr)) return ERROR_BAD_EXE_FORMAT;
  Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof eh);
  if (eh.e_shoff == 0) return ERROR_SUCCESS;  // no section table: no resources
  if (eh.e_shentsize != sizeof(Shdr)) return ERROR_BAD_EXE_FORMAT;
  auto shdrAt = [&](size_t i, Shdr* out) {
    if (eh.e_shoff > file.size() || i >= (file.size() - eh.e_shoff) / sizeof(Shdr)) return false;
    std::memcpy(out, file.data() + eh.e_shoff + i * sizeof(Shdr), sizeof(Shdr));
    return true;
  };
  Shdr first;
  if (!shdrAt(0, &first)) return ERROR_BAD_EXE_FORMAT;
  size_t count = eh.e_shnum ? eh.e_shnum : first.sh_size;
  size_t strndx = eh.e_shstrndx == SHN_XINDEX ? first.sh_link : eh.e_shstrndx;
  if (count == 0) return ERROR_SUCCESS;
  Shdr last;
  if (!shdrAt(count - 1, &last)) return ERROR_BAD_EXE_FORMAT;
  Shdr strs;
  if (strndx >= count || !shdrAt(strndx, &strs)) return ERROR_BAD_EXE_FORMAT;
  if (strs.sh_offset > file.size() || strs.sh_size > file.size() - strs.sh_offset) return ERROR_BAD_EXE_FORMAT;
  std::string_view names(reinterpret_cast<const char*>(file.data() + strs.sh_offset), strs.sh_size);
  for (size_t i = 1; i < count; ++i) {
    Shdr sh;
    if (!shdrAt(i, &sh)) return ERROR_BAD_EXE_FORMAT;
    if (sh.sh_name >= names.size()) continue;
    std::string_view name = names.substr(sh.sh_name);
    name = name.substr(0, name.find('\0'));
    if (name != qel::resfmt::kSectionName) continue;
    if (sh.sh_type == SHT_NOBITS) return ERROR_BAD_EXE_FORMAT;
    if (sh.sh_offset > file.size() || sh.sh_size > file.size() - sh.sh_offset) return ERROR_BAD_EXE_FORMAT;
    *section = file.subspan(sh.sh_offset, sh.sh_size);
    *found = true;
    return ERROR_SUCCESS;
  }
  return ERROR_SUCCESS;
}

DWORD MapImage(const std::string& path, std::shared_ptr<ResourceImage>* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT: return ERROR_FILE_NOT_FOUND;
      case ENOTDIR: return ERROR_PATH_NOT_FOUND;
      case EACCES:
      case EPERM: return ERROR_ACCESS_DENIED;
      case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
      default: return ERROR_BAD_EXE_FORMAT;
    }
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_size < EI_NIDENT) {
    close(fd);
    return ERROR_BAD_EXE_FORMAT;
  }
  void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return ERROR_NOT_ENOUGH_MEMORY;
  auto img = std::make_shared<ResourceImage>();
  img->mapping = std::make_unique<FileMapping>(p, static_cast<size_t>(st.st_size));
  std::span<const BYTE> file = img->mapping->bytes();
  if (std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 || file[EI_DATA] != ELFDATA2LSB) return ERROR_BAD_EXE_FORMAT;
  std::span<const BYTE> section;
  bool found = false;
  DWORD err;
  if (file[EI_CLASS] == ELFCLASS64)
    err = FindSection<Elf64_Ehdr, Elf64_Shdr>(file, &section, &found);
  else if (file[EI_CLASS] == ELFCLASS32)
    err = FindSection<Elf32_Ehdr, Elf32_Shdr>(file, &section, &found);
  else
    err = ERROR_BAD_EXE_FORMAT;
  if (err != ERROR_SUCCESS) return err;
  img->bHasSection = found;
  if (found) ParseDirectory(section, img.get());
  *out = std::move(img);
  return ERROR_SUCCESS;
}

enum class ModuleKind { DataFile, Library, Builtin, ProcessImage };

struct Module {
  ModuleKind kind;
  std::shared_ptr<ResourceImage> image;  // mapped on first use for libraries
  void* pDl = nullptr;                   // dlopen handle
  int nRefs = 1;
  std::string path;
};

// Exports of the platform's own oleaut32 module.
struct BuiltinExport {
  const char* pszName;
  FARPROC pfn;
};
template <class F>
FARPROC AsFarProc(F* f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}
const BuiltinExport kOleAut32[] = {
    {"LoadTypeLib", AsFarProc(&LoadTypeLib)},
    {"LoadTypeLibEx", AsFarProc(&LoadTypeLibEx)},
    {"LoadRegTypeLib", AsFarProc(&LoadRegTypeLib)},
    {"RegisterTypeLib", AsFarProc(&RegisterTypeLib)},
    {"UnRegisterTypeLib", AsFarProc(&UnRegisterTypeLib)},
    {"QueryPathOfRegTypeLib", AsFarProc(&QueryPathOfRegTypeLib)},
};
const char kOleAut32Anchor = 0;
HMODULE BuiltinHandle() { return reinterpret_cast<HMODULE>(const_cast<char*>(&kOleAut32Anchor)); }

bool IsOleAut32(qel::u16view name) {
  return qel::EqualsNoCase(name, u"oleaut32.dll") || qel::EqualsNoCase(name, u"oleaut32");
}

struct LoaderState {
  std::mutex lock;
  std::map<ULONG_PTR, std::shared_ptr<Module>> modules;
};
LoaderState& State() {
  static LoaderState* s = new LoaderState;  // outlives static destructors that may still call in
  return *s;
}

struct ObjectInfo {
  ULONG_PTR base = 0;
  std::string path;
};

// The loaded ELF object whose mapped segments contain `addr`.
std::optional<ObjectInfo> FindLoadedObject(ULONG_PTR addr) {
  struct Ctx {
    ULONG_PTR addr;
    std::optional<ObjectInfo> found;
    bool first = true;
  } ctx{addr, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* c = static_cast<Ctx*>(data);
        bool isMain = c->first;
        c->first = false;
        ULONG_PTR lo = ~ULONG_PTR{0}, hi = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          ULONG_PTR start = info->dlpi_addr + ph.p_vaddr;
          lo = std::min(lo, start & ~ULONG_PTR{0xFFF});
          hi = std::max(hi, static_cast<ULONG_PTR>(start + ph.p_memsz));
        }
        if (lo == ~ULONG_PTR{0}) return 0;
        bool hit = (c->addr >= lo && c->addr < hi) || (c->addr != 0 && c->addr == info->dlpi_addr);
        if (!hit) return 0;
        ObjectInfo o;
        o.base = lo;
        o.path = isMain || !info->dlpi_name || !*info->dlpi_name ? std::string("/proc/self/exe")
                                                                  : std::string(info->dlpi_name);
        c->found = std::move(o);
        return 1;
      },
      &ctx);
  return ctx.found;
}

ULONG_PTR MainProgramBase() {
  ULONG_PTR base = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        ULONG_PTR lo = ~ULONG_PTR{0};
        for (int i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_LOAD)
            lo = std::min(lo, static_cast<ULONG_PTR>((info->dlpi_addr + info->dlpi_phdr[i].p_vaddr) & ~ULONG_PTR{0xFFF}));
        *static_cast<ULONG_PTR*>(data) = lo;
        return 1;
      },
      &base);
  return base;
}

// Resolves a module handle to its entry, creating the entry for a process
// image (the executable or a library loaded some other way) on first use.
std::shared_ptr<Module> Resolve(HMODULE h, DWORD* err) {
  ULONG_PTR key = h ? reinterpret_cast<ULONG_PTR>(h) : MainProgramBase();
  auto& st = State();
  {
    std::lock_guard g(st.lock);
    auto it = st.modules.find(key);
    if (it != st.modules.end()) return it->second;
  }
  auto obj = FindLoadedObject(key);
  if (!obj) {
    *err = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  std::lock_guard g(st.lock);
  auto& slot = st.modules[obj->base];
  if (!slot) {
    slot = std::make_shared<Module>();
    slot->kind = ModuleKind::ProcessImage;
    slot->path = obj->path;
  }
  if (key != obj->base) st.modules[key] = slot;
  return slot;
}

// The resources of a module, mapping its file on first use.
std::shared_ptr<ResourceImage> ImageOf(HMODULE h, DWORD* err) {
  auto mod = Resolve(h, err);
  if (!mod) return nullptr;
  if (mod->kind == ModuleKind::Builtin) {
    *err = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  std::lock_guard g(State().lock);
  if (!mod->image) {
    DWORD e = MapImage(mod->path, &mod->image);
    if (e != ERROR_SUCCESS) {
      *err = e;
      return nullptr;
    }
  }
  return mod->image;
}

bool ParseResName(LPCWSTR p, ResName* out) {
  if (IS_INTRESOURCE(p)) {
    out->bIsId = true;
    out->wId = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
    return true;
  }
  qel::u16view s = qel::WView(p);
  if (!s.empty() && s[0] == u'#') {
    unsigned v = 0;
    if (s.size() < 2 || s.size() > 6) return false;
    for (char16_t c : s.substr(1)) {
      if (c < u'0' || c > u'9') return false;
      v = v * 10 + (c - u'0');
    }
    if (v > 0xFFFF) return false;
    out->bIsId = true;
    out->wId = static_cast<WORD>(v);
    return true;
  }
  out->bIsId = false;
  out->str = qel::u16(s);
  return true;
}

HRSRC FindIn(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, std::optional<WORD> lang) {
  if (!lpType || !lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD err = 0;
  auto img = ImageOf(hModule, &err);
  if (!img) {
    SetLastError(err);
    return nullptr;
  }
  if (!img->bHasSection || !img->bDirectoryValid) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  ResName type, name;
  if (!ParseResName(lpType, &type)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  if (!ParseResName(lpName, &name)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  bool typeSeen = false, nameSeen = false;
  const ResEntry* any = nullptr;
  for (const auto& e : img->entries) {
    if (!e.type.Matches(type)) continue;
    typeSeen = true;
    if (!e.name.Matches(name)) continue;
    nameSeen = true;
    if (!lang || *lang == LANG_NEUTRAL || e.wLang == *lang) return reinterpret_cast<HRSRC>(const_cast<ResEntry*>(&e));
    if (!any && PRIMARYLANGID(e.wLang) == PRIMARYLANGID(*lang)) any = &e;
  }
  if (any) return reinterpret_cast<HRSRC>(const_cast<ResEntry*>(any));
  SetLastError(!typeSeen ? ERROR_RESOURCE_TYPE_NOT_FOUND
                         : !nameSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_LANG_NOT_FOUND);
  return nullptr;
}

const ResEntry* EntryOf(HMODULE hModule, HRSRC hResInfo, std::shared_ptr<ResourceImage>* keep) {
  DWORD err = 0;
  auto img = ImageOf(hModule, &err);
  if (!img) {
    SetLastError(err);
    return nullptr;
  }
  const ResEntry* e = img->Owns(hResInfo);
  if (!e) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  *keep = std::move(img);
  return e;
}

HMODULE LoadDataFile(const std::string& path, DWORD dwFlags) {
  std::shared_ptr<ResourceImage> img;
  DWORD err = MapImage(path, &img);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  auto mod = std::make_shared<Module>();
  mod->kind = ModuleKind::DataFile;
  mod->path = path;
  mod->image = img;
  // As on Windows, the low bits of a data-file handle tell it from a mapped image.
  ULONG_PTR key = reinterpret_cast<ULONG_PTR>(img->mapping->bytes().data()) |
                  ((dwFlags & LOAD_LIBRARY_AS_IMAGE_RESOURCE) ? 2 : 1);
  std::lock_guard g(State().lock);
  State().modules[key] = std::move(mod);
  return reinterpret_cast<HMODULE>(key);
}

HMODULE LoadSharedLibrary(const std::string& path) {
  void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    struct stat st{};
    SetLastError(stat(path.c_str(), &st) == 0 ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  link_map* lm = nullptr;
  if (dlinfo(dl, RTLD_DI_LINKMAP, &lm) != 0 || !lm) {
    dlclose(dl);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  auto obj = FindLoadedObject(lm->l_addr ? lm->l_addr : reinterpret_cast<ULONG_PTR>(lm->l_ld));
  if (!obj) {
    dlclose(dl);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  std::lock_guard g(State().lock);
  auto& slot = State().modules[obj->base];
  if (slot && slot->kind == ModuleKind::Library) {
    ++slot->nRefs;
    dlclose(dl);  // our entry holds one loader reference per module
  } else {
    auto mod = std::make_shared<Module>();
    mod->kind = ModuleKind::Library;
    mod->pDl = dl;
    mod->path = lm->l_name && *lm->l_name ? lm->l_name : obj->path;
    slot = std::move(mod);
  }
  return reinterpret_cast<HMODULE>(obj->base);
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  QEL_FAULT_POINT("LoadLibraryW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  QEL_FAULT_POINT("LoadLibraryExW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  if (!lpLibFileName || hFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  qel::u16view name = qel::WView(lpLibFileName);
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (IsOleAut32(name) && !(dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE |
                                        LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE)))
    return BuiltinHandle();
  std::string path = qel::ToUtf8(name);
  if (dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE))
    return LoadDataFile(path, dwFlags);
  return LoadSharedLibrary(path);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  QEL_FAULT_POINT("GetProcAddress", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  if (!lpProcName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool byOrdinal = (reinterpret_cast<ULONG_PTR>(lpProcName) >> 16) == 0;
  if (hModule == BuiltinHandle()) {
    if (!byOrdinal)
      for (const auto& e : kOleAut32)
        if (std::strcmp(e.pszName, lpProcName) == 0) return e.pfn;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  DWORD err = 0;
  auto mod = Resolve(hModule, &err);
  if (!mod) {
    SetLastError(err);
    return nullptr;
  }
  if (mod->kind == ModuleKind::DataFile || byOrdinal) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* sym = nullptr;
  if (mod->pDl) {
    sym = dlsym(mod->pDl, lpProcName);
  } else {
    // A process image loaded outside LoadLibrary: look the name up in it.
    void* self = dlopen(mod->path == "/proc/self/exe" ? nullptr : mod->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (self) {
      sym = dlsym(self, lpProcName);
      dlclose(self);
    }
  }
  if (!sym) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  QEL_FAULT_POINT("FreeLibrary", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!hLibModule) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (hLibModule == BuiltinHandle()) return TRUE;
  std::shared_ptr<Module> gone;
  {
    auto& st = State();
    std::lock_guard g(st.lock);
    auto it = st.modules.find(reinterpret_cast<ULONG_PTR>(hLibModule));
    if (it == st.modules.end() || it->second->kind == ModuleKind::ProcessImage) {
      // Freeing a module that LoadLibrary did not hand out changes nothing.
      if (it != st.modules.end()) return TRUE;
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second->nRefs > 0) return TRUE;
    gone = std::move(it->second);
    st.modules.erase(it);
  }
  if (gone->pDl) dlclose(gone->pDl);
  return TRUE;
}

extern "C" HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  QEL_FAULT_POINT("FindResourceW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  return FindIn(hModule, lpType, lpName, std::nullopt);
}

extern "C" HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
  QEL_FAULT_POINT("FindResourceExW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  return FindIn(hModule, lpType, lpName, wLanguage);
}

extern "C" HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  QEL_FAULT_POINT("LoadResource", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  std::shared_ptr<ResourceImage> keep;
  const ResEntry* e = EntryOf(hModule, hResInfo, &keep);
  if (!e) return nullptr;
  return const_cast<BYTE*>(e->pData);
}

extern "C" DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  QEL_FAULT_POINT("SizeofResource", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  std::shared_ptr<ResourceImage> keep;
  const ResEntry* e = EntryOf(hModule, hResInfo, &keep);
  return e ? e->cbData : 0;
}

extern "C" LPVOID WINAPI LockResource(HGLOBAL hResData) {
  QEL_FAULT_POINT("LockResource", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  return hResData;
}

extern "C" BOOL WINAPI FreeResource(HGLOBAL) {
  // Resource data lives as long as its module; there is nothing to free.
  return FALSE;
}

extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  QEL_FAULT_POINT("LoadStringW", c) {
    SetLastError(static_cast<DWORD>(c));
    if (lpBuffer && cchBufferMax > 0) lpBuffer[0] = 0;
    return 0;
  }
  if (!lpBuffer || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto fail = [&](DWORD err) {
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    SetLastError(err);
    return 0;
  };
  // Strings are kept in blocks of sixteen, as the resource compiler lays out
  // a string table: block (id / 16) + 1, each string a length and its characters.
  HRSRC hr = FindResourceW(hInstance, MAKEINTRESOURCEW((LOWORD(uID) >> 4) + 1), RT_STRING);
  if (!hr) return fail(GetLastError());
  HGLOBAL hg = LoadResource(hInstance, hr);
  DWORD cb = SizeofResource(hInstance, hr);
  if (!hg) return fail(GetLastError());
  auto* p = static_cast<const BYTE*>(hg);
  size_t off = 0;
  for (UINT i = 0; i < (uID & 15); ++i) {
    if (off + 2 > cb) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
    std::uint16_t len;
    std::memcpy(&len, p + off, 2);
    off += 2 + size_t{len} * 2;
  }
  if (off + 2 > cb) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
  std::uint16_t len;
  std::memcpy(&len, p + off, 2);
  if (off + 2 + size_t{len} * 2 > cb) return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
  if (len == 0) return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
  const BYTE* chars = p + off + 2;
  if (cchBufferMax == 0) {
    // The caller receives a pointer to the resource text itself.
    LPCWSTR ro = reinterpret_cast<LPCWSTR>(chars);
    std::memcpy(lpBuffer, &ro, sizeof ro);
    return len;
  }
  int n = std::min<int>(len, cchBufferMax - 1);
  std::memcpy(lpBuffer, chars, static_cast<size_t>(n) * 2);
  lpBuffer[n] = 0;
  return n;
}

// Reading the class store: default values below HKEY_CLASSES_ROOT.
#include <cstdlib>
#include <vector>

#include "runtime.h"
#include "winreg.h"

namespace qel::com {
namespace {

class KeyHolder {
 public:
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() {
    if (m_key) RegCloseKey(m_key);
  }
  HKEY* put() { return &m_key; }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

HRESULT FromRegistryError(LSTATUS status) {
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND || status == ERROR_KEY_DELETED)
    return REGDB_E_CLASSNOTREG;
  return REGDB_E_READREGDB;
}

// %NAME% references from the process environment; an unknown one stays as it is.
qel::u16 ExpandEnvironment(qel::u16view text) {
  qel::u16 out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'%') {
      const std::size_t end = text.find(u'%', i + 1);
      if (end != qel::u16view::npos && end > i + 1) {
        const std::string name = qel::ToUtf8(text.substr(i + 1, end - i - 1));
        if (const char* value = std::getenv(name.c_str())) {
          out += qel::FromUtf8(value);
          i = end + 1;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

}  // namespace

HRESULT ReadClassesDefault(qel::u16view path, qel::u16* value) {
  value->clear();
  const qel::u16 keyPath(path);
  KeyHolder key;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (status != ERROR_SUCCESS) return FromRegistryError(status);
  std::vector<BYTE> data(128 * sizeof(WCHAR));
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = 0;
    DWORD cb = static_cast<DWORD>(data.size());
    status = RegQueryValueExW(key.get(), nullptr, nullptr, &type, data.data(), &cb);
    if (status == ERROR_MORE_DATA) {
      data.resize(cb + sizeof(WCHAR));
      continue;
    }
    if (status != ERROR_SUCCESS) return FromRegistryError(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return REGDB_E_INVALIDVALUE;
    qel::u16 text(reinterpret_cast<const char16_t*>(data.data()), cb / sizeof(WCHAR));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    // Stop at an embedded terminator, as readers of REG_SZ do.
    if (const auto nul = text.find(u'\0'); nul != qel::u16::npos) text.resize(nul);
    *value = type == REG_EXPAND_SZ ? ExpandEnvironment(text) : text;
    return S_OK;
  }
  return REGDB_E_READREGDB;
}

}  // namespace qel::com

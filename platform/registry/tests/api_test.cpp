// The Win32 registry functions: results, error codes and edge behaviour.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/wstr.h"
#include "regstore.h"
#include "testsupport.h"
#include "winreg.h"

namespace {

using u16 = std::u16string;
using u16view = std::u16string_view;

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h) RegCloseKey(h);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* put() { return &h; }
  HKEY h = nullptr;
};

class RegistryApi : public ::testing::Test {
 protected:
  qel::test::ScopedStateDir m_state;

  void Create(HKEY root, const char16_t* sub, Key& k, REGSAM sam = KEY_ALL_ACCESS, DWORD* disp = nullptr) {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, sub, 0, nullptr, 0, sam, nullptr, k.put(), disp));
  }
  static LSTATUS SetString(HKEY h, const char16_t* name, u16view text) {
    u16 t(text);
    return RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(t.c_str()),
                          static_cast<DWORD>((t.size() + 1) * 2));
  }
  static LSTATUS SetDword(HKEY h, const char16_t* name, DWORD v) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  static std::vector<u16> Subkeys(HKEY h) {
    std::vector<u16> out;
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD cch = 256;
      LSTATUS e = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
      if (e != ERROR_SUCCESS) {
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, e);
        return out;
      }
      out.emplace_back(name, cch);
    }
  }
  static std::vector<u16> ValueNames(HKEY h) {
    std::vector<u16> out;
    for (DWORD i = 0;; ++i) {
      WCHAR name[512];
      DWORD cch = 512;
      LSTATUS e = RegEnumValueW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
      if (e != ERROR_SUCCESS) {
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, e);
        return out;
      }
      out.emplace_back(name, cch);
    }
  }
};

TEST_F(RegistryApi, NewStoreHoldsTheBuiltInEntriesAndThePredefinedKeys) {
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}\\InprocServer32",
                                         0, KEY_READ, k.put()));
  WCHAR buf[64];
  DWORD cb = sizeof buf, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(u"qel-builtin:msxml", u16(buf));

  Key svc;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\upnphost", 0,
                                         KEY_READ, svc.put()));
  BYTE multi[32];
  cb = sizeof multi;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(svc.h, u"DependOnService", nullptr, &type, multi, &cb));
  EXPECT_EQ(REG_MULTI_SZ, type);
  EXPECT_EQ(14u, cb);  // "RPCSS\0\0"

  // HKEY_CLASSES_ROOT and HKEY_CURRENT_CONFIG are keys below HKEY_LOCAL_MACHINE.
  Key viaRoot;
  Create(HKEY_CLASSES_ROOT, u"QelTest.Class", viaRoot);
  Key viaMachine;
  EXPECT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\QelTest.Class", 0, KEY_READ, viaMachine.put()));
  Key cfg;
  Create(HKEY_CURRENT_CONFIG, u"QelCfg", cfg);
  Key cfgMachine;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\QelCfg", 0,
                                         KEY_READ, cfgMachine.put()));
  // HKEY_CURRENT_USER is HKEY_USERS\<uid>.
  Key user;
  Create(HKEY_CURRENT_USER, u"Software\\QelUser", user);
  std::string uid = std::to_string(geteuid());
  u16 path = qel::FromUtf8(uid) + u"\\Software\\QelUser";
  Key userUsers;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, userUsers.put()));
  u16 stored;
  ASSERT_EQ(ERROR_SUCCESS, qel::reg::StoredPath(user.h, stored));
  EXPECT_EQ(u"HKEY_USERS\\" + path, stored);
}

TEST_F(RegistryApi, NamesAreCaseInsensitiveAndCasePreserving) {
  Key k;
  DWORD disp = 0;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelTest\\MixedCase\\Ünïcode", k, KEY_ALL_ACCESS, &disp);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disp);
  Key again;
  Create(HKEY_LOCAL_MACHINE, u"software\\QELTEST\\mixedcase\\üNÏCODE", again, KEY_ALL_ACCESS, &disp);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disp);
  ASSERT_EQ(ERROR_SUCCESS, SetString(k.h, u"ValueName", u"one"));
  ASSERT_EQ(ERROR_SUCCESS, SetString(again.h, u"VALUENAME", u"two"));  // same value, name keeps its case
  EXPECT_EQ(std::vector<u16>{u"ValueName"}, ValueNames(k.h));
  WCHAR buf[8];
  DWORD cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, u"valuename", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb));
  EXPECT_EQ(u"two", u16(buf));

  Key parent;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QELTEST", 0, KEY_READ, parent.put()));
  EXPECT_EQ(std::vector<u16>{u"MixedCase"}, Subkeys(parent.h));
  u16 stored;
  ASSERT_EQ(ERROR_SUCCESS, qel::reg::StoredPath(again.h, stored));
  EXPECT_EQ(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\QelTest\\MixedCase\\Ünïcode", stored);
}

TEST_F(RegistryApi, SubkeysEnumerateAlphabeticallyAndValuesInCreationOrder) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelOrder", k);
  for (auto name : {u"b", u"_x", u"A", u"C", u"a1"}) {
    Key c;
    Create(k.h, name, c);
  }
  EXPECT_EQ((std::vector<u16>{u"A", u"a1", u"b", u"C", u"_x"}), Subkeys(k.h));

  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"zeta", 1));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"alpha", 2));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, nullptr, 3));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"Zeta", 4));  // rewriting keeps the place
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(k.h, u"alpha"));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"alpha", 5));  // a new value goes last
  EXPECT_EQ((std::vector<u16>{u"zeta", u"", u"alpha"}), ValueNames(k.h));
}

TEST_F(RegistryApi, EnumerationIndexesFollowChangesMadeBetweenCalls) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelEnum", k);
  for (auto name : {u"k0", u"k1", u"k2", u"k3"}) {
    Key c;
    Create(k.h, name, c);
  }
  WCHAR name[16];
  DWORD cch = 16;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(k.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"k0", u16(name));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(k.h, u"k0"));
  cch = 16;  // index 1 now names what was third
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(k.h, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"k2", u16(name));
  cch = 16;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(k.h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"k3", u16(name));
  // Deleting index 0 until none is left empties the key.
  while (true) {
    cch = 16;
    LSTATUS e = RegEnumKeyExW(k.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (e == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, e);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(k.h, name));
  }
  EXPECT_TRUE(Subkeys(k.h).empty());
}

TEST_F(RegistryApi, QueryValueSizesAndBuffers) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelQuery", k);
  ASSERT_EQ(ERROR_SUCCESS, SetString(k.h, u"Path", u"abcd"));  // 10 bytes with its terminator
  DWORD cb = 0, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, u"Path", nullptr, &type, nullptr, &cb));
  EXPECT_EQ(10u, cb);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

  BYTE buf[16];
  std::memset(buf, 0xAB, sizeof buf);
  cb = 9;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(k.h, u"Path", nullptr, nullptr, buf, &cb));
  EXPECT_EQ(10u, cb);
  for (BYTE b : buf) EXPECT_EQ(0xAB, b);  // nothing copied
  cb = 10;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, u"Path", nullptr, nullptr, buf, &cb));
  EXPECT_EQ(10u, cb);
  EXPECT_EQ(0xAB, buf[10]);  // nothing written past the data

  // A string stored without its terminator comes back exactly so.
  const char16_t raw[] = u"xyz";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.h, u"Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(raw), 6));
  std::memset(buf, 0xAB, sizeof buf);
  cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, u"Raw", nullptr, nullptr, buf, &cb));
  EXPECT_EQ(6u, cb);
  EXPECT_EQ(0xAB, buf[6]);

  // Null and "" both name the default value; empty data is a value too.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.h, u"", 0, REG_BINARY, nullptr, 0));
  cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, nullptr, nullptr, &type, buf, &cb));
  EXPECT_EQ(0u, cb);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.h, nullptr, nullptr, nullptr, nullptr, nullptr));

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(k.h, u"Missing", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(k.h, u"Path", nullptr, nullptr, buf, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(k.h, u"Bad", 0, REG_BINARY, nullptr, 4));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(k.h, u"Missing"));
}

TEST_F(RegistryApi, NameLengthLimits) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelLimits", k);
  u16 name255(255, u'k'), name256(256, u'k');
  Key ok;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(k.h, name255.c_str(), 0, nullptr, 0, KEY_READ, nullptr, ok.put(), nullptr));
  Key bad;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegCreateKeyExW(k.h, name256.c_str(), 0, nullptr, 0, KEY_READ, nullptr, bad.put(), nullptr));
  EXPECT_EQ(nullptr, bad.h);
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExW(k.h, u"\\lead", 0, nullptr, 0, KEY_READ, nullptr, bad.put(), nullptr));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExW(k.h, u"a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, bad.put(), nullptr));

  u16 value16383(16383, u'v'), value16384(16384, u'v');
  EXPECT_EQ(ERROR_SUCCESS, SetDword(k.h, value16383.c_str(), 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, SetDword(k.h, value16384.c_str(), 1));
  DWORD maxName = 0, maxSub = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(k.h, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, nullptr,
                                            &maxName, nullptr, nullptr, nullptr));
  EXPECT_EQ(16383u, maxName);
  EXPECT_EQ(255u, maxSub);
}

TEST_F(RegistryApi, HandleRightsAreEnforced) {
  Key setup;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRights", setup);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(setup.h, u"v", 7));

  Key ro;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRights", 0, KEY_READ, ro.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(ro.h, u"v", 8));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueW(ro.h, u"v"));
  Key sub;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(ro.h, u"new", 0, nullptr, 0, KEY_READ, nullptr, sub.put(), nullptr));

  Key wo;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRights", 0, KEY_SET_VALUE, wo.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(wo.h, u"v", nullptr, nullptr, nullptr, nullptr));
  WCHAR name[8];
  DWORD cch = 8;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExW(wo.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumValueW(wo.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, SetDword(wo.h, u"v", 9));
}

TEST_F(RegistryApi, DeletingKeys) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Child\\Grandchild", k);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"v", 1));
  // A key with subkeys is not deleted on its own.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Child"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Nothing"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Child\\Grandchild"));

  // Every use of a handle to a deleted key says so.
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(k.h, u"v", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(k.h, u"v", 2));
  EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteValueW(k.h, u"v"));
  WCHAR name[8];
  DWORD cch = 8;
  EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyExW(k.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyW(k.h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr));
  Key sub;
  EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExW(k.h, u"x", 0, nullptr, 0, KEY_READ, nullptr, sub.put(), nullptr));
  // A key made again at the same place is a different key.
  Key remade;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Child\\Grandchild", remade);
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(k.h, u"v", 3));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(remade.h, u"v", nullptr, nullptr, nullptr, nullptr));

  // A tree goes at once; a null subkey empties the key and keeps it.
  Key tree;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete\\Child\\Other", tree);
  Key top;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete", 0, KEY_ALL_ACCESS, top.put()));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(top.h, u"kept?", 1));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(top.h, nullptr));
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(top.h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, subKeys);
  EXPECT_EQ(0u, values);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDelete"));

  // The keys behind the predefined handles stay, and a tree that holds one is left whole.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CLASSES_ROOT, u""));
  Key classes;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, classes.put()));
}

TEST_F(RegistryApi, EnumerationAndInfoBufferSizes) {
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelInfo", k);
  Key c1, c2;
  Create(k.h, u"short", c1);
  Create(k.h, u"muchlongername", c2);
  ASSERT_EQ(ERROR_SUCCESS, SetString(k.h, u"text", u"hello"));  // 12 bytes
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"number", 5));
  DWORD subKeys, maxSub, values, maxName, maxData, maxClass;
  FILETIME ft{};
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(k.h, nullptr, nullptr, nullptr, &subKeys, &maxSub, &maxClass, &values,
                                            &maxName, &maxData, nullptr, &ft));
  EXPECT_EQ(2u, subKeys);
  EXPECT_EQ(14u, maxSub);  // characters, without the terminator
  EXPECT_EQ(2u, values);
  EXPECT_EQ(6u, maxName);
  EXPECT_EQ(12u, maxData);  // bytes
  EXPECT_EQ(0u, maxClass);
  EXPECT_NE(0u, ft.dwHighDateTime);

  WCHAR name[32];
  DWORD cch = 14;  // "muchlongername" needs 15 with its terminator
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(k.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  cch = 15;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(k.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(14u, cch);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(k.h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr));

  BYTE data[16];
  DWORD type = 0, cb = 4;
  cch = 32;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(k.h, 0, name, &cch, nullptr, &type, data, &cb));
  EXPECT_EQ(12u, cb);
  cch = 4;
  cb = sizeof data;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(k.h, 0, name, &cch, nullptr, &type, data, &cb));
  cch = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(k.h, 1, name, &cch, nullptr, &type, data, &cb));
  EXPECT_EQ(u"number", u16(name));
  EXPECT_EQ(6u, cch);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(4u, cb);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(k.h, 2, name, &cch, nullptr, &type, data, &cb));
}

TEST_F(RegistryApi, HandlesAndPredefinedKeys) {
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
  Key k;
  Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelHandles", k);
  HKEY h = k.h;
  k.h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(h, u"x", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));  // predefined handles stay open

  HKEY same = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &same));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, same);
  Key missing;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"NoSuchKey", 0, KEY_READ, missing.put()));
  EXPECT_EQ(nullptr, missing.h);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr));

  // Performance data holds nothing and takes nothing.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(HKEY_PERFORMANCE_DATA, u"Global", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_PERFORMANCE_DATA, u"x", 1));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_DYN_DATA, u"x", 1));
  WCHAR name[8];
  DWORD cch = 8;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(HKEY_DYN_DATA, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  Key none;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            RegCreateKeyExW(HKEY_PERFORMANCE_DATA, u"x", 0, nullptr, 0, KEY_READ, nullptr, none.put(), nullptr));
}

TEST_F(RegistryApi, FaultSeamFailsTheNamedCall) {
  qel::fault::Arm("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  HKEY h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &h));
  EXPECT_EQ(nullptr, h);
  Key k;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, k.put()));
  qel::fault::Arm("RegQueryValueExW", ERROR_MORE_DATA);
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(k.h, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryApi, TransactionKeepsAllOrNothing) {
  {
    qel::reg::Transaction tx;
    ASSERT_EQ(ERROR_SUCCESS, tx.Begin());
    Key k;
    Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelTx\\Dropped", k);
    ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"v", 1));
    // rolled back when it ends uncommitted
  }
  Key gone;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelTx", 0, KEY_READ, gone.put()));
  {
    qel::reg::Transaction tx;
    ASSERT_EQ(ERROR_SUCCESS, tx.Begin());
    Key k;
    Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelTx\\Kept", k);
    ASSERT_EQ(ERROR_SUCCESS, SetDword(k.h, u"v", 1));
    // A failed change inside leaves the others standing.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
    ASSERT_EQ(ERROR_SUCCESS, tx.Commit());
  }
  Key kept;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelTx\\Kept", 0, KEY_READ, kept.put()));
}

TEST_F(RegistryApi, NoStatementScansATable) {
  std::vector<std::string> plans;
  ASSERT_EQ(ERROR_SUCCESS, qel::reg::QueryPlans(plans));
  ASSERT_GT(plans.size(), 10u);
  for (const auto& p : plans) {
    std::string step = p.substr(p.rfind(": ") + 2);
    EXPECT_FALSE(step.rfind("SCAN", 0) == 0 && step != "SCAN CONSTANT ROW") << p;
    EXPECT_EQ(std::string::npos, step.find("TEMP B-TREE")) << p;  // no sort: the index gives the order
  }
}

}  // namespace

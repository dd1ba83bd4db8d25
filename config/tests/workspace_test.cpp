// ReadCSQ: the device identity and the enabled controllers from the workspace
// file, every result of the reader, and the inputs it must refuse safely.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "QelUPnP.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"
#include "workspace.h"

namespace {

namespace fs = std::filesystem;

std::string Utf8(BSTR b) { return b ? qel::ToUtf8(std::u16string_view(b, SysStringLen(b))) : "<null>"; }

std::string Workspace(const std::string& identity, const std::string& controllers) {
  return "<?xml version='1.0' encoding='UTF-8'?>\n<W>\n <INode Type='clsQelSQLWorkspace'>\n" + identity + controllers +
         " </INode>\n</W>\n";
}
std::string Controller(const std::string& enabled, const std::string& name, const std::string& type = "clsQelSQLController") {
  std::string s = "  <INode Type='" + type + "'><clsQelSQLController>";
  if (enabled != "-") s += "<m_bEnabled>" + enabled + "</m_bEnabled>";
  if (name != "-") s += "<RSQLCtrlName>" + name + "</RSQLCtrlName>";
  return s + "</clsQelSQLController></INode>\n";
}

class ReadCSQTest : public ::testing::Test {
 protected:
  void SetUp() override { m_hrCo = CoInitialize(nullptr); }
  void TearDown() override {
    qel::fault::Reset();
    if (SUCCEEDED(m_hrCo)) CoUninitialize();
  }

  // Points the module at a workspace file with these bytes.
  void UseWorkspace(const std::string& bytes) {
    fs::path p = m_dir.path() / ("ws" + std::to_string(m_n++) + ".xml");
    qel::test::WriteFile(p, bytes);
    SetPath(p.string());
  }
  void SetPath(const std::string& path) {
    qel::u16 w = qel::FromUtf8(path);
    ASSERT_LT(w.size(), static_cast<size_t>(MAX_PATH));
    std::fill(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), u'\0');
    std::copy(w.begin(), w.end(), m_module.m_szDataPath);
  }
  std::vector<std::string> Controllers() {
    std::vector<std::string> names;
    for (int i = 0; i < m_module.m_controllers.GetSize(); ++i) names.push_back(Utf8(m_module.m_controllers[i]));
    return names;
  }
  bool NothingStored() {
    for (int i = 0; i < DeviceIdentity::kCount; ++i)
      if (*m_module.m_identity.Member(i)) return false;
    return m_module.m_controllers.GetSize() == 0;
  }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  CQelUPnP m_module;
  HRESULT m_hrCo = E_FAIL;
  int m_n = 0;
};

fs::path ExamplesDir() { return QEL_FIXTURE_DIR; }

TEST_F(ReadCSQTest, ReadsTheSampleWorkspace) {
  SetPath((ExamplesDir() / "QelWorkspace.xml").string());
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  const char* expected[DeviceIdentity::kCount] = {
      "uuid:6f9a3c2e-4b1d-4e8a-9c55-2d7b8e1f0a34", "本社第一工場 制御ワークスペース",
      "urn:schemas-upnp-org:device:QelWorkspace:1", "http://127.0.0.1:8080/qel/",
      "株式会社キューイーエル", "http://www.qel.example.jp/",
      "QEL SQL Workspace", "3.2",
      "QEL controller workspace, plant 1 line A", "http://www.qel.example.jp/products/sqlworkspace/",
      "012345678905", "QW32-2024-000731"};
  for (int i = 0; i < DeviceIdentity::kCount; ++i) EXPECT_EQ(Utf8(*m_module.m_identity.Member(i)), expected[i]) << i;
  // Conveyor02 is disabled; OldPress sits in the second workspace node, never read.
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"PressLine01", "Furnace03", "Inspection04"}));
}

TEST_F(ReadCSQTest, EnabledOnlyByTheWordTrueInAnyCase) {
  UseWorkspace(Workspace("", Controller("True", "a") + Controller("true", "b") + Controller("TRUE", "c") +
                                 Controller("tRuE", "d") + Controller("False", "e") + Controller("Yes", "f") +
                                 Controller("1", "g") + Controller("", "h") + Controller("Truex", "i") +
                                 Controller("  True\n", "j")));
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  // Surrounding white space is dropped by the DOM's text, as MSXML does.
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"a", "b", "c", "d", "j"}));
}

TEST_F(ReadCSQTest, SelectsOnlyControllerNodesOfTheWorkspaceNode) {
  UseWorkspace(
      "<W><INode Type='clsQelSQLWorkspace'>" + Controller("True", "first") +
      Controller("True", "wrongcase", "clsqelsqlcontroller") + Controller("True", "other", "clsQelSQLGroup") +
      "<INode><clsQelSQLController><m_bEnabled>True</m_bEnabled><RSQLCtrlName>untyped</RSQLCtrlName>"
      "</clsQelSQLController></INode>" +
      "<x>" + Controller("True", "nested") + "</x>" + Controller("True", "dup") + Controller("True", "dup") +
      Controller("True", "") + "</INode>" + Controller("True", "onroot") +
      "<INode Type='clsQelSQLWorkspace'>" + Controller("True", "second") + "</INode></W>");
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  // Duplicates and an empty name stay; the root's own controllers and the
  // second workspace node are never looked at.
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"first", "dup", "dup", ""}));
}

TEST_F(ReadCSQTest, ControllerNodesLackingAPartAreLeftOut) {
  for (int where = 0; where < 3; ++where) {
    std::vector<std::string> parts = {Controller("True", "a"), Controller("True", "b"), Controller("True", "c")};
    parts[static_cast<size_t>(where)] = Controller("True", "-");
    std::string ctrls = parts[0] + parts[1] + parts[2] + Controller("-", "noflag") +
                        "<INode Type='clsQelSQLController'><m_bEnabled>True</m_bEnabled></INode>";
    CQelUPnP module;
    std::copy(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), module.m_szDataPath);
    UseWorkspace(Workspace("", ctrls));
    std::copy(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), module.m_szDataPath);
    ASSERT_EQ(module.ReadCSQ(), S_OK);
    std::vector<std::string> expected = {"a", "b", "c"};
    expected.erase(expected.begin() + where);
    std::vector<std::string> got;
    for (int i = 0; i < module.m_controllers.GetSize(); ++i) got.push_back(Utf8(module.m_controllers[i]));
    EXPECT_EQ(got, expected) << where;
  }
}

TEST_F(ReadCSQTest, IdentityMembersAreOptionalAndEmptyIsNotNull) {
  UseWorkspace(Workspace(
      "<clsQelSQLWorkspace><m_strFriendlyName>Name</m_strFriendlyName><m_strUDN>uuid:1</m_strUDN>"
      "<m_strUDN>uuid:second</m_strUDN><m_strUPC/></clsQelSQLWorkspace>"
      "<clsQelSQLWorkspace><m_strModelName>later</m_strModelName></clsQelSQLWorkspace>",
      Controller("True", "a")));
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  EXPECT_EQ(Utf8(m_module.m_identity.m_strUDN), "uuid:1");  // the first one counts
  EXPECT_EQ(Utf8(m_module.m_identity.m_strFriendlyName), "Name");
  ASSERT_NE(m_module.m_identity.m_strUPC, nullptr);
  EXPECT_EQ(SysStringLen(m_module.m_identity.m_strUPC), 0u);
  EXPECT_EQ(m_module.m_identity.m_strModelName, nullptr);  // only the first identity node is read
  EXPECT_EQ(m_module.m_identity.m_strSerialNumber, nullptr);
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"a"}));
}

TEST_F(ReadCSQTest, NoIdentityNodeIsNoErrorAndNoControllersIsEmpty) {
  UseWorkspace(Workspace("", Controller("True", "a")));
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  for (int i = 0; i < DeviceIdentity::kCount; ++i) EXPECT_EQ(*m_module.m_identity.Member(i), nullptr);
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"a"}));

  CQelUPnP empty;
  UseWorkspace(Workspace("<clsQelSQLWorkspace><m_strUDN>u</m_strUDN></clsQelSQLWorkspace>", ""));
  std::copy(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), empty.m_szDataPath);
  ASSERT_EQ(empty.ReadCSQ(), S_OK);
  EXPECT_EQ(empty.m_controllers.GetSize(), 0);
  EXPECT_EQ(Utf8(empty.m_identity.m_strUDN), "u");
}

TEST_F(ReadCSQTest, NoWorkspaceNodeIsInvalidArg) {
  UseWorkspace("<W><clsQelSQLWorkspace><m_strUDN>u</m_strUDN></clsQelSQLWorkspace></W>");
  EXPECT_EQ(m_module.ReadCSQ(), E_INVALIDARG);
  EXPECT_TRUE(NothingStored());
}

TEST_F(ReadCSQTest, BadFilesFailToLoad) {
  const std::string invalidDtd =
      "<!DOCTYPE W [<!ELEMENT W (INode)><!ELEMENT INode EMPTY>]><W><INode><x/></INode></W>";
  for (const std::string& bytes : {std::string(), std::string("not xml at all"), std::string("<W><INode>"),
                                   std::string("<W><INode></W>"), invalidDtd}) {
    UseWorkspace(bytes);
    EXPECT_EQ(m_module.ReadCSQ(), E_FAIL) << bytes;
    EXPECT_TRUE(NothingStored());
  }
  SetPath((m_dir.path() / "missing.xml").string());
  EXPECT_EQ(m_module.ReadCSQ(), E_FAIL);
  SetPath("");  // no settings: an empty path
  EXPECT_EQ(m_module.ReadCSQ(), E_FAIL);
  SetPath(m_dir.path().string());
  EXPECT_EQ(m_module.ReadCSQ(), E_FAIL);
}

TEST_F(ReadCSQTest, AValidDtdStillLoads) {
  UseWorkspace(
      "<!DOCTYPE W [<!ELEMENT W ANY><!ELEMENT INode ANY><!ATTLIST INode Type CDATA #IMPLIED>"
      "<!ELEMENT clsQelSQLController ANY><!ELEMENT m_bEnabled (#PCDATA)><!ELEMENT RSQLCtrlName (#PCDATA)>]>" +
      std::string("<W><INode>") + Controller("True", "a") + "</INode></W>");
  EXPECT_EQ(m_module.ReadCSQ(), S_OK);
  EXPECT_EQ(Controllers(), (std::vector<std::string>{"a"}));
}

TEST_F(ReadCSQTest, HostileDocumentsReadNothingFromOutside) {
  fs::path secret = m_dir.path() / "secret.txt";
  qel::test::WriteFile(secret, "TOPSECRET");
  UseWorkspace("<!DOCTYPE W [<!ENTITY x SYSTEM 'file://" + secret.string() +
               "'><!ENTITY y SYSTEM 'http://127.0.0.1:9/y'><!ELEMENT W ANY><!ELEMENT INode ANY>"
               "<!ATTLIST INode Type CDATA #IMPLIED><!ELEMENT clsQelSQLWorkspace ANY><!ELEMENT m_strUDN ANY>"
               "<!ELEMENT clsQelSQLController ANY><!ELEMENT m_bEnabled ANY><!ELEMENT RSQLCtrlName ANY>]>"
               "<W><INode><clsQelSQLWorkspace><m_strUDN>[&x;&y;]</m_strUDN></clsQelSQLWorkspace>" +
               Controller("True", "&x;") + "</INode></W>");
  HRESULT hr = m_module.ReadCSQ();
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(Utf8(m_module.m_identity.m_strUDN), "[]");
  EXPECT_EQ(Controllers(), (std::vector<std::string>{""}));

  std::string bomb = "<!DOCTYPE W [<!ENTITY a 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'>";
  std::string prev = "a";
  for (int i = 0; i < 8; ++i) {
    std::string name = "e" + std::to_string(i);
    bomb += "<!ENTITY " + name + " '";
    for (int k = 0; k < 12; ++k) bomb += "&" + prev + ";";
    bomb += "'>";
    prev = name;
  }
  bomb += "]><W><INode><clsQelSQLWorkspace><m_strUDN>&" + prev + ";</m_strUDN></clsQelSQLWorkspace></INode></W>";
  CQelUPnP bombed;
  UseWorkspace(bomb);
  std::copy(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), bombed.m_szDataPath);
  EXPECT_EQ(bombed.ReadCSQ(), E_FAIL);
  EXPECT_EQ(bombed.m_identity.m_strUDN, nullptr);
}

TEST_F(ReadCSQTest, DecodesTheEncodingTheFileDeclares) {
  // "制御" in Shift_JIS.
  UseWorkspace("<?xml version='1.0' encoding='Shift_JIS'?><W><INode><clsQelSQLWorkspace>"
               "<m_strFriendlyName>\x90\xa7\x8c\xe4</m_strFriendlyName></clsQelSQLWorkspace></INode></W>");
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  EXPECT_EQ(Utf8(m_module.m_identity.m_strFriendlyName), "制御");
}

TEST_F(ReadCSQTest, UnterminatedPathBufferIsReadWithinItsBounds) {
  std::fill(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), u'x');
  EXPECT_EQ(m_module.ReadCSQ(), E_FAIL);
}

// Failures a real machine does not produce, through the fault seam.
struct FaultRow {
  const char* point;
  int skip;
  HRESULT code;
  HRESULT expected;
  bool identityRead;
  int controllers;
};

TEST_F(ReadCSQTest, EveryFailureRow) {
  const std::string ws = Workspace("<clsQelSQLWorkspace><m_strUDN>u</m_strUDN></clsQelSQLWorkspace>",
                                   Controller("True", "a") + Controller("True", "b"));
  const FaultRow rows[] = {
      {"CoCreateInstance", 0, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, false, 0},
      {"OleRun", 0, E_UNEXPECTED, E_UNEXPECTED, false, 0},
      {"IXMLDOMDocument::put_async", 0, E_ACCESSDENIED, E_ACCESSDENIED, false, 0},
      {"IXMLDOMDocument::put_validateOnParse", 0, E_NOTIMPL, E_NOTIMPL, false, 0},
      {"IXMLDOMDocument::load", 0, E_OUTOFMEMORY, E_FAIL, false, 0},
      {"IXMLDOMDocument::get_documentElement", 0, S_FALSE, E_POINTER, false, 0},
      {"IXMLDOMDocument::get_documentElement", 0, E_FAIL, E_POINTER, false, 0},
      {"IXMLDOMNode::selectSingleNode", 0, E_OUTOFMEMORY, E_OUTOFMEMORY, false, 0},   // "INode"
      {"IXMLDOMNode::selectSingleNode", 0, S_FALSE, E_INVALIDARG, false, 0},
      {"IXMLDOMNode::selectSingleNode", 1, E_OUTOFMEMORY, E_OUTOFMEMORY, false, 0},   // "clsQelSQLWorkspace"
      {"IXMLDOMNode::selectSingleNode", 1, S_FALSE, S_OK, false, 2},
      {"IXMLDOMNode::selectSingleNode", 2, E_FAIL, S_OK, false, 2},                   // "m_strUDN"
      {"IXMLDOMNode::get_text", 0, E_FAIL, S_OK, false, 2},
      {"IXMLDOMNode::selectNodes", 0, E_OUTOFMEMORY, S_FALSE, true, 0},
      {"IXMLDOMNode::selectNodes", 0, S_FALSE, S_FALSE, true, 0},
      {"IXMLDOMNodeList::get_length", 0, E_FAIL, S_OK, true, 0},
      {"IXMLDOMNodeList::get_item", 0, E_FAIL, S_OK, true, 1},
      {"IXMLDOMNodeList::get_item", 1, S_FALSE, S_OK, true, 1},
      {"IXMLDOMNode::get_text", 1, E_FAIL, S_OK, true, 1},                            // first "m_bEnabled"
  };
  for (const FaultRow& row : rows) {
    CQelUPnP module;
    UseWorkspace(ws);
    std::copy(std::begin(m_module.m_szDataPath), std::end(m_module.m_szDataPath), module.m_szDataPath);
    qel::fault::Reset();
    qel::fault::Arm(row.point, static_cast<std::int64_t>(row.code), row.skip, 1);
    EXPECT_EQ(module.ReadCSQ(), row.expected) << row.point << " skip " << row.skip;
    EXPECT_EQ(module.m_identity.m_strUDN != nullptr, row.identityRead) << row.point << " skip " << row.skip;
    EXPECT_EQ(module.m_controllers.GetSize(), row.controllers) << row.point << " skip " << row.skip;
  }
}

TEST_F(ReadCSQTest, DeletedClassRegistrationCannotBeCreated) {
  UseWorkspace(Workspace("", Controller("True", "a")));
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{88D969C0-F192-11D4-A65F-0040963251E5}")), ERROR_SUCCESS);
  EXPECT_EQ(m_module.ReadCSQ(), REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(NothingStored());
}

TEST_F(ReadCSQTest, CreationHelperTakesClassIdStringsAndProgIds) {
  IUnknown* pUnk = nullptr;
  EXPECT_EQ(CreateInstanceFromName(nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&pUnk)), E_INVALIDARG);
  for (LPCOLESTR name : {TEXT("{2933BF90-7B36-11D2-B20E-00C04F983E60}"), TEXT("Msxml2.DOMDocument.4.0"),
                         TEXT("Microsoft.XMLDOM")}) {
    IXMLDOMDocument2* pDoc = nullptr;
    ASSERT_EQ(CreateInstanceFromName(name, CLSCTX_ALL, IID_IXMLDOMDocument2, reinterpret_cast<void**>(&pDoc)), S_OK);
    ASSERT_NE(pDoc, nullptr);
    EXPECT_EQ(pDoc->Release(), 0u);  // the first reference was released
  }
  IXMLDOMDocument2* pDoc = nullptr;
  EXPECT_TRUE(FAILED(CreateInstanceFromName(TEXT("{not a class id}"), CLSCTX_ALL, IID_IXMLDOMDocument2,
                                            reinterpret_cast<void**>(&pDoc))));
  EXPECT_TRUE(FAILED(CreateInstanceFromName(TEXT("No.Such.ProgID"), CLSCTX_ALL, IID_IXMLDOMDocument2,
                                            reinterpret_cast<void**>(&pDoc))));
  EXPECT_EQ(pDoc, nullptr);
  // An interface the object does not offer.
  IXMLDOMElement* pElement = nullptr;
  EXPECT_EQ(CreateInstanceFromName(TEXT("Microsoft.XMLDOM"), CLSCTX_ALL, IID_IXMLDOMElement,
                                   reinterpret_cast<void**>(&pElement)),
            E_NOINTERFACE);
}

TEST_F(ReadCSQTest, ReadChildTextResults) {
  IXMLDOMNode* pNull = nullptr;
  BSTR bstr = nullptr;
  EXPECT_EQ(ReadChildText(pNull, TEXT("a"), &bstr), E_INVALIDARG);
  IXMLDOMDocument2* pDoc = nullptr;
  ASSERT_EQ(CreateInstanceFromClsid(CLSID_DOMDocument40, CLSCTX_ALL, IID_IXMLDOMDocument2,
                                    reinterpret_cast<void**>(&pDoc)),
            S_OK);
  CBstrHolder bstrXml(TEXT("<r><a> x </a></r>"));
  VARIANT_BOOL bOk = VARIANT_FALSE;
  ASSERT_EQ(pDoc->loadXML(bstrXml, &bOk), S_OK);
  IXMLDOMElement* pRoot = nullptr;
  ASSERT_EQ(pDoc->get_documentElement(&pRoot), S_OK);
  EXPECT_EQ(ReadChildText(pRoot, nullptr, &bstr), E_INVALIDARG);
  EXPECT_EQ(ReadChildText(pRoot, TEXT("a"), nullptr), E_INVALIDARG);
  EXPECT_EQ(ReadChildText(pRoot, TEXT("b"), &bstr), S_FALSE);
  EXPECT_EQ(bstr, nullptr);
  ASSERT_EQ(ReadChildText(pRoot, TEXT("a"), &bstr), S_OK);
  EXPECT_EQ(Utf8(bstr), "x");
  SysFreeString(bstr);
  pRoot->Release();
  pDoc->Release();
}

}  // namespace

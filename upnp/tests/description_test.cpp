// CreateDDD: the device description document saved beside the program and
// handed back as text, its exact shape, and every failure row.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "QelUPnP.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"
#include "workspace.h"

namespace {

namespace fs = std::filesystem;

fs::path TestsDir() { return QEL_FIXTURE_DIR; }
fs::path ExamplesDir() { return TestsDir().parent_path().parent_path() / "examples"; }

BSTR NewBstr(const std::string& utf8) {
  qel::u16 w = qel::FromUtf8(utf8);
  return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}
std::string Utf8(BSTR b) { return b ? qel::ToUtf8(std::u16string_view(b, SysStringLen(b))) : "<null>"; }

// The saved bytes decoded from Shift_JIS (code page 932), as UTF-8.
std::string DecodeShiftJis(const std::string& bytes) {
  int n = MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  qel::u16 w(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
  return qel::ToUtf8(w);
}

std::string Service(const std::string& n) {
  return "<service><serviceType>urn:schemas-upnp-org:service:" + n + ":1</serviceType><serviceId>urn:upnp-org:serviceId:" +
         n + "</serviceId><SCPDURL>QelUPnPService.xml</SCPDURL><controlURL/><eventSubURL/></service>";
}

class CreateDDDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_hrCo = CoInitialize(nullptr);
    m_module.m_bstrModuleDir = NewBstr(m_dir.path().string() + "/");
  }
  void TearDown() override {
    qel::fault::Reset();
    if (SUCCEEDED(m_hrCo)) CoUninitialize();
  }
  fs::path Saved() const { return m_dir.path() / "QelUPnPDevice.xml"; }
  std::string SavedText() const { return DecodeShiftJis(qel::test::ReadFile(Saved())); }
  void AddController(const std::string& name) { m_module.m_controllers.Add(NewBstr(name)); }
  // The saved document from "<root" to the end, without the declaration.
  std::string Body() const {
    std::string t = SavedText();
    size_t p = t.find("<root");
    return p == std::string::npos ? t : t.substr(p);
  }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  CQelUPnP m_module;
  HRESULT m_hrCo = E_FAIL;
};

const char kEmptyDevice[] =
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major><minor>0</minor></specVersion>"
    "<device><UDN/><friendlyName/><deviceType/><presentationURL/><manufacturer/><manufacturerURL/><modelName/>"
    "<modelNumber/><modelDescription/><modelURL/><UPC/><serialNumber/>";

TEST_F(CreateDDDTest, SampleWorkspaceGivesExactlyTheExpectedDocument) {
  qel::u16 path = qel::FromUtf8((ExamplesDir() / "QelWorkspace.xml").string());
  std::copy(path.begin(), path.end(), m_module.m_szDataPath);
  ASSERT_EQ(m_module.ReadCSQ(), S_OK);
  BSTR bstrText = nullptr;
  ASSERT_EQ(m_module.CreateDDD(&bstrText), S_OK);

  const std::string expected = qel::test::ReadFile(TestsDir() / "description_expected.xml");
  ASSERT_FALSE(expected.empty());
  const std::string bytes = qel::test::ReadFile(Saved());
  EXPECT_EQ(bytes.rfind("<?xml version='1.0' encoding='Shift_JIS'?>", 0), 0u);
  EXPECT_EQ(DecodeShiftJis(bytes), expected);
  // Japanese text is stored as Shift_JIS, not as character references.
  EXPECT_EQ(bytes.find("&#"), std::string::npos);

  // The text handed back is the same document; being wide text, its
  // declaration names no encoding.
  std::string text = Utf8(bstrText);
  SysFreeString(bstrText);
  EXPECT_EQ(text.rfind("<?xml version='1.0'?>", 0), 0u) << text;
  std::string body = expected.substr(expected.find("<root"));
  body.insert(body.size() - 1, "\r");
  EXPECT_EQ(text.substr(text.find("<root")), body);
}

TEST_F(CreateDDDTest, EmptyListAndEmptyIdentityStillGiveEveryElement) {
  BSTR bstrText = nullptr;
  ASSERT_EQ(m_module.CreateDDD(&bstrText), S_OK);
  ASSERT_NE(bstrText, nullptr);
  SysFreeString(bstrText);
  EXPECT_EQ(Body(), std::string(kEmptyDevice) + "<serviceList/></device></root>\n");
}

TEST_F(CreateDDDTest, ControllersBecomeServicesInListOrderAndNamesPassUnchanged) {
  AddController("A");
  AddController("B");
  AddController("B");
  AddController("");
  AddController(" Mixed Case<&> ");
  m_module.m_identity.m_strUPC = NewBstr("");
  m_module.m_identity.m_strUDN = NewBstr("uuid:x");
  ASSERT_EQ(m_module.CreateDDD(nullptr), S_OK);  // no text wanted: still saved
  std::string body = Body();
  std::string expected = kEmptyDevice;
  expected.replace(expected.find("<UDN/>"), 6, "<UDN>uuid:x</UDN>");
  expected += "<serviceList>" + Service("A") + Service("B") + Service("B") + Service("") +
              Service(" Mixed Case&lt;&amp;&gt; ") + "</serviceList></device></root>\n";
  EXPECT_EQ(body, expected);
}

TEST_F(CreateDDDTest, NamesShiftJisCannotHoldBecomeCharacterReferences) {
  AddController("제어€");
  m_module.m_identity.m_strFriendlyName = NewBstr("工場😀");
  BSTR bstrText = nullptr;
  ASSERT_EQ(m_module.CreateDDD(&bstrText), S_OK);
  const std::string bytes = qel::test::ReadFile(Saved());
  EXPECT_NE(bytes.find("urn:schemas-upnp-org:service:&#51228;&#50612;&#8364;:1"), std::string::npos);
  EXPECT_NE(SavedText().find("<friendlyName>工場&#128512;</friendlyName>"), std::string::npos);
  // The wide text carries the characters themselves.
  EXPECT_NE(Utf8(bstrText).find("urn:upnp-org:serviceId:제어€"), std::string::npos);
  SysFreeString(bstrText);

  // The file is still a well-formed document that reads back to the same names.
  IXMLDOMDocument2* pDoc = nullptr;
  ASSERT_EQ(CreateInstanceFromName(TEXT("Msxml2.DOMDocument.4.0"), CLSCTX_ALL, IID_IXMLDOMDocument2,
                                   reinterpret_cast<void**>(&pDoc)),
            S_OK);
  CBstrHolder bstrPath;
  bstrPath.Attach(NewBstr(Saved().string()));
  VARIANT var;
  VariantInit(&var);
  var.vt = VT_BSTR;
  var.bstrVal = bstrPath;
  VARIANT_BOOL bOk = VARIANT_FALSE;
  ASSERT_EQ(pDoc->load(var, &bOk), S_OK);
  IXMLDOMElement* pRoot = nullptr;
  ASSERT_EQ(pDoc->get_documentElement(&pRoot), S_OK);
  IXMLDOMNodeList* pTypes = nullptr;
  CBstrHolder bstrQuery(TEXT("//*[local-name()='serviceType']"));
  ASSERT_EQ(pRoot->selectNodes(bstrQuery, &pTypes), S_OK);
  IXMLDOMNode* pType = nullptr;
  ASSERT_EQ(pTypes->get_item(0, &pType), S_OK);
  BSTR bstrType = nullptr;
  ASSERT_EQ(pType->get_text(&bstrType), S_OK);
  EXPECT_EQ(Utf8(bstrType), "urn:schemas-upnp-org:service:제어€:1");
  SysFreeString(bstrType);
  pType->Release();
  pTypes->Release();
  pRoot->Release();
  pDoc->Release();
}

TEST_F(CreateDDDTest, SecondCallReplacesTheFile) {
  AddController("First");
  ASSERT_EQ(m_module.CreateDDD(nullptr), S_OK);
  EXPECT_NE(Body().find("First"), std::string::npos);
  SysFreeString(m_module.m_controllers[0]);
  m_module.m_controllers[0] = NewBstr("Second");
  ASSERT_EQ(m_module.CreateDDD(nullptr), S_OK);
  EXPECT_EQ(Body().find("First"), std::string::npos);
  EXPECT_NE(Body().find("Second"), std::string::npos);
}

TEST_F(CreateDDDTest, EmptyModuleDirectorySavesInTheCurrentDirectory) {
  SysFreeString(m_module.m_bstrModuleDir);
  m_module.m_bstrModuleDir = nullptr;
  fs::path previous = fs::current_path();
  fs::current_path(m_dir.path());
  HRESULT hr = m_module.CreateDDD(nullptr);
  fs::current_path(previous);
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(fs::exists(Saved()));
}

TEST_F(CreateDDDTest, FailedSaveLeavesNoPartialFile) {
  qel::test::WriteFile(Saved(), "previous run");
  qel::fault::Arm("WriteFile", static_cast<std::int64_t>(HRESULT_FROM_WIN32(ERROR_DISK_FULL)));
  BSTR bstrText = nullptr;
  EXPECT_EQ(m_module.CreateDDD(&bstrText), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  EXPECT_EQ(bstrText, nullptr);
  EXPECT_EQ(qel::test::ReadFile(Saved()), "previous run");
  int others = 0;
  for (auto& e : fs::directory_iterator(m_dir.path())) others += e.path() != Saved();
  EXPECT_EQ(others, 0);

  // A program directory that does not exist.
  SysFreeString(m_module.m_bstrModuleDir);
  m_module.m_bstrModuleDir = NewBstr((m_dir.path() / "gone").string() + "/");
  EXPECT_EQ(m_module.CreateDDD(&bstrText), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(bstrText, nullptr);
}

TEST_F(CreateDDDTest, DocumentClassMissingOrFailingGivesItsCode) {
  struct Row {
    const char* point;
    HRESULT code;
  } rows[] = {{"CLSIDFromProgID", CO_E_CLASSSTRING},
              {"CoCreateInstance", REGDB_E_CLASSNOTREG},
              {"OleRun", E_UNEXPECTED},
              {"IXMLDOMDocument::save", E_ACCESSDENIED},
              {"IXMLDOMNode::get_xml", E_OUTOFMEMORY}};
  for (const Row& row : rows) {
    fs::remove(Saved());
    qel::fault::Reset();
    qel::fault::Arm(row.point, static_cast<std::int64_t>(row.code));
    BSTR bstrText = nullptr;
    EXPECT_EQ(m_module.CreateDDD(&bstrText), row.code) << row.point;
    EXPECT_EQ(bstrText, nullptr) << row.point;
    // Only a failure after the save leaves the file.
    EXPECT_EQ(fs::exists(Saved()), std::string(row.point) == "IXMLDOMNode::get_xml") << row.point;
  }
}

TEST_F(CreateDDDTest, DeletedRegistrationsCannotBeCreated) {
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{2933BF90-7B36-11D2-B20E-00C04F983E60}")), ERROR_SUCCESS);
  EXPECT_EQ(m_module.CreateDDD(nullptr), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, TEXT("MSXML.DOMDocument")), ERROR_SUCCESS);
  EXPECT_TRUE(FAILED(m_module.CreateDDD(nullptr)));
  EXPECT_FALSE(fs::exists(Saved()));
}

TEST_F(CreateDDDTest, PartsThatCannotBeMadeAreLeftOutAndTheRestIsSaved) {
  AddController("A");
  struct Row {
    const char* point;
    int skip;
    const char* missing;  // what the saved body lacks
    const char* present;  // what it still has
  } rows[] = {
      {"IXMLDOMDocument::createProcessingInstruction", 0, "<?xml", "<serviceList>"},
      {"IXMLDOMDocument::createElement", 0, "<root", "<?xml"},                 // the root, and all below it
      {"IXMLDOMElement::setAttribute", 0, "xmlns", "<root><specVersion>"},
      {"IXMLDOMDocument::createElement", 1, "<specVersion>", "<root xmlns"},  // specVersion with major, minor
      {"IXMLDOMNode::put_text", 0, "<major>", "<minor>0</minor>"},
      {"IXMLDOMNode::appendChild", 5, "<device>", "<specVersion>"},           // PI, root, specVersion, major, minor, device
      {"IXMLDOMNode::appendChild", 19, "<service>", "<serviceList/>"},
      {"IXMLDOMNode::put_text", 16, "<serviceType>", "<serviceId>urn:upnp-org:serviceId:A</serviceId>"},
  };
  for (const Row& row : rows) {
    qel::fault::Reset();
    qel::fault::Arm(row.point, static_cast<std::int64_t>(E_OUTOFMEMORY), row.skip, 1);
    ASSERT_EQ(m_module.CreateDDD(nullptr), S_OK) << row.point;
    std::string text = SavedText();
    EXPECT_EQ(text.find(row.missing), std::string::npos) << row.point << " " << row.skip << "\n" << text;
    EXPECT_NE(text.find(row.present), std::string::npos) << row.point << " " << row.skip << "\n" << text;
  }
}

}  // namespace

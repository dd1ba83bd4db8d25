// The DOM document classes: loading and its refusals, queries, text rules,
// building, serialising and saving.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <msxml2.h>
#include <oleauto.h>

#include "qel/builtins.h"
#include "qel/comobj.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

using qel::ComPtr;
namespace fs = std::filesystem;

// Owns one BSTR.
struct Bstr {
  BSTR p = nullptr;
  Bstr() = default;
  explicit Bstr(std::string_view utf8) {
    qel::u16 w = qel::FromUtf8(utf8);
    p = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }
  ~Bstr() { SysFreeString(p); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* operator&() {
    SysFreeString(p);
    p = nullptr;
    return &p;
  }
  std::string Utf8() const { return qel::ToUtf8(std::u16string_view(p ? p : u"", p ? SysStringLen(p) : 0)); }
};

VARIANT StrVariant(BSTR b) {
  VARIANT v{};
  v.vt = VT_BSTR;
  v.bstrVal = b;
  return v;
}

ComPtr<IXMLDOMDocument2> NewDocument(const CLSID& clsid = CLSID_DOMDocument40) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(qel_msxml_DllGetClassObject(clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<IXMLDOMDocument2> doc;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IXMLDOMDocument2, doc.PutVoid()), S_OK);
  }
  return doc;
}

class DomTest : public ::testing::Test {
 protected:
  void TearDown() override { qel::fault::Reset(); }

  fs::path Write(const std::string& name, const std::string& bytes) {
    fs::path p = m_dir.path() / name;
    qel::test::WriteFile(p, bytes);
    return p;
  }
  // Loads `bytes` from a file; the success flag.
  bool Load(IXMLDOMDocument2* doc, const std::string& bytes, bool validate = true) {
    EXPECT_EQ(doc->put_async(VARIANT_FALSE), S_OK);
    EXPECT_EQ(doc->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
    fs::path p = Write("in" + std::to_string(m_n++) + ".xml", bytes);
    Bstr path(p.string());
    VARIANT_BOOL ok = VARIANT_TRUE;
    HRESULT hr = doc->load(StrVariant(path.p), &ok);
    EXPECT_EQ(hr, ok ? S_OK : S_FALSE);
    return ok == VARIANT_TRUE;
  }
  std::string Text(IXMLDOMNode* node, std::string_view query) {
    ComPtr<IXMLDOMNode> n;
    Bstr q(query);
    if (node->selectSingleNode(q.p, n.Put()) != S_OK) return "<none>";
    Bstr t;
    EXPECT_EQ(n->get_text(&t), S_OK);
    return t.Utf8();
  }
  std::string Reason(IXMLDOMDocument2* doc) {
    ComPtr<IXMLDOMParseError> e;
    EXPECT_EQ(doc->get_parseError(e.Put()), S_OK);
    Bstr r;
    (void)e->get_reason(&r);
    return r.Utf8();
  }

  qel::test::TempDir m_dir;
  int m_n = 0;
};

TEST_F(DomTest, ServesBothDocumentClassesAndNoOther) {
  EXPECT_TRUE(NewDocument(CLSID_DOMDocument40));
  EXPECT_TRUE(NewDocument(CLSID_DOMDocument));
  void* pv = reinterpret_cast<void*>(1);
  EXPECT_EQ(qel_msxml_DllGetClassObject(IID_IXMLDOMNode, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(pv, nullptr);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(qel_msxml_DllGetClassObject(CLSID_DOMDocument, IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.PutVoid()), S_OK);
  ComPtr<IUnknown> agg;
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, agg.PutVoid()), CLASS_E_NOAGGREGATION);
  ComPtr<IXMLDOMDocument> d1;
  ComPtr<IXMLDOMNode> n1;
  EXPECT_EQ(outer->QueryInterface(IID_IXMLDOMDocument, d1.PutVoid()), S_OK);
  EXPECT_EQ(outer->QueryInterface(IID_IXMLDOMNode, n1.PutVoid()), S_OK);
  ComPtr<IXMLDOMElement> notElement;
  EXPECT_EQ(outer->QueryInterface(IID_IXMLDOMElement, notElement.PutVoid()), E_NOINTERFACE);
}

TEST_F(DomTest, SelectsChildrenInDocumentOrderAndReadsTrimmedText) {
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), "<r>\n  <INode Type='a'><v>  one  </v></INode>\n"
                              "  <INode Type='b'><v>two &amp; <![CDATA[<three>]]></v></INode>\n"
                              "  <x><INode Type='c'/></x>\n</r>"));
  ComPtr<IXMLDOMElement> root;
  ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);

  ComPtr<IXMLDOMNodeList> list;
  Bstr q("INode");
  ASSERT_EQ(root->selectNodes(q.p, list.Put()), S_OK);
  LONG n = 0;
  ASSERT_EQ(list->get_length(&n), S_OK);
  ASSERT_EQ(n, 2);  // the nested one is no child of the root
  ComPtr<IXMLDOMNode> item;
  ASSERT_EQ(list->get_item(1, item.Put()), S_OK);
  EXPECT_EQ(Text(item.Get(), "v"), "two & <three>");
  EXPECT_EQ(list->get_item(2, item.Put()), S_FALSE);
  EXPECT_EQ(item.Get(), nullptr);
  EXPECT_EQ(list->get_item(-1, item.Put()), S_FALSE);

  EXPECT_EQ(Text(root.Get(), "INode/v"), "one");  // first match, whitespace trimmed
  EXPECT_EQ(Text(root.Get(), "INode[@Type='b']/v"), "two & <three>");
  EXPECT_EQ(Text(root.Get(), "INode[@Type='B']"), "<none>");  // attribute values are case-sensitive

  ComPtr<IXMLDOMNode> none;
  Bstr missing("nothing");
  EXPECT_EQ(root->selectSingleNode(missing.p, none.Put()), S_FALSE);
  EXPECT_EQ(none.Get(), nullptr);
  Bstr bad("INode[");
  EXPECT_TRUE(FAILED(root->selectSingleNode(bad.p, none.Put())));
  Bstr number("count(INode)");
  EXPECT_TRUE(FAILED(root->selectNodes(number.p, list.Put())));

  // The whole element's text: descendant text, blank-only nodes between elements dropped.
  Bstr all;
  ASSERT_EQ(root->get_text(&all), S_OK);
  EXPECT_EQ(all.Utf8(), "one  two & <three>");
}

TEST_F(DomTest, EmptyElementGivesEmptyTextAndMissingRootGivesSFalse) {
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), "<r><e/><s>   </s></r>"));
  ComPtr<IXMLDOMElement> root;
  ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
  EXPECT_EQ(Text(root.Get(), "e"), "");
  EXPECT_EQ(Text(root.Get(), "s"), "");

  auto empty = NewDocument();
  ComPtr<IXMLDOMElement> none;
  EXPECT_EQ(empty->get_documentElement(none.Put()), S_FALSE);
  EXPECT_EQ(none.Get(), nullptr);
}

TEST_F(DomTest, NodesOutliveTheirDocumentAndANewLoad) {
  ComPtr<IXMLDOMNode> kept;
  ComPtr<IXMLDOMNodeList> list;
  {
    auto doc = NewDocument();
    ASSERT_TRUE(Load(doc.Get(), "<r><a>first</a><a>second</a></r>"));
    ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
    Bstr q("a");
    ASSERT_EQ(root->selectSingleNode(q.p, kept.Put()), S_OK);
    ASSERT_EQ(root->selectNodes(q.p, list.Put()), S_OK);
    ASSERT_TRUE(Load(doc.Get(), "<other/>"));  // replaces the tree the nodes belong to
  }
  Bstr t;
  ASSERT_EQ(kept->get_text(&t), S_OK);
  EXPECT_EQ(t.Utf8(), "first");
  ComPtr<IXMLDOMNode> second;
  ASSERT_EQ(list->get_item(1, second.Put()), S_OK);
  ASSERT_EQ(second->get_text(&t), S_OK);
  EXPECT_EQ(t.Utf8(), "second");
}

TEST_F(DomTest, RefusesWhatIsNotAWellFormedOrValidDocument) {
  auto doc = NewDocument();
  EXPECT_FALSE(Load(doc.Get(), ""));
  ComPtr<IXMLDOMParseError> e;
  ASSERT_EQ(doc->get_parseError(e.Put()), S_OK);
  LONG code = 0;
  ASSERT_EQ(e->get_errorCode(&code), S_OK);
  EXPECT_NE(code, 0);

  EXPECT_FALSE(Load(doc.Get(), "this is not XML"));
  EXPECT_FALSE(Load(doc.Get(), "<r><INode>truncated"));
  EXPECT_FALSE(Load(doc.Get(), "<r>\n\n<a></b></r>"));
  ASSERT_EQ(doc->get_parseError(e.Put()), S_OK);
  LONG line = 0;
  ASSERT_EQ(e->get_line(&line), S_OK);
  EXPECT_EQ(line, 3);
  EXPECT_FALSE(Reason(doc.Get()).empty());
  // A failed load leaves no document behind.
  ComPtr<IXMLDOMElement> root;
  EXPECT_EQ(doc->get_documentElement(root.Put()), S_FALSE);

  // Missing file, a directory, an empty path.
  VARIANT_BOOL ok = VARIANT_TRUE;
  Bstr missing((m_dir.path() / "absent.xml").string());
  EXPECT_EQ(doc->load(StrVariant(missing.p), &ok), S_FALSE);
  EXPECT_EQ(ok, VARIANT_FALSE);
  Bstr dir(m_dir.path().string());
  EXPECT_EQ(doc->load(StrVariant(dir.p), &ok), S_FALSE);
  Bstr empty("");
  EXPECT_EQ(doc->load(StrVariant(empty.p), &ok), S_FALSE);
  EXPECT_EQ(ok, VARIANT_FALSE);
  VARIANT notPath{};
  notPath.vt = VT_I4;
  EXPECT_EQ(doc->load(notPath, &ok), E_INVALIDARG);
}

TEST_F(DomTest, ValidatesAgainstTheInternalDtdOnlyWhenAsked) {
  const std::string invalid =
      "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a (#PCDATA)>]>\n<r><b/></r>";
  const std::string valid = "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a (#PCDATA)>]>\n<r><a>x</a></r>";
  auto doc = NewDocument();
  EXPECT_FALSE(Load(doc.Get(), invalid, true));
  EXPECT_FALSE(Reason(doc.Get()).empty());
  EXPECT_TRUE(Load(doc.Get(), invalid, false));
  EXPECT_TRUE(Load(doc.Get(), valid, true));
  // No DTD at all: nothing to validate against, the document loads.
  EXPECT_TRUE(Load(doc.Get(), "<r><b/></r>", true));
}

TEST_F(DomTest, NeverReadsExternalEntitiesOrSubsets) {
  fs::path secret = Write("secret.txt", "TOPSECRET");
  fs::path dtd = Write("ext.dtd", "<!ENTITY leak 'FROMDTD'>");
  auto doc = NewDocument();
  for (bool validate : {true, false}) {
    // A general entity with a file:// system id: loads, but the entity stays empty.
    ASSERT_TRUE(Load(doc.Get(),
                     "<!DOCTYPE r [<!ENTITY x SYSTEM 'file://" + secret.string() + "'><!ELEMENT r ANY>]><r>[&x;]</r>",
                     validate));
    ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
    Bstr t;
    ASSERT_EQ(root->get_text(&t), S_OK);
    EXPECT_EQ(t.Utf8().find("TOPSECRET"), std::string::npos);
    Bstr xml;
    ASSERT_EQ(doc->get_xml(&xml), S_OK);
    EXPECT_EQ(xml.Utf8().find("TOPSECRET"), std::string::npos);

    // An external parameter entity and an external subset: neither is read.
    bool loaded = Load(doc.Get(),
                       "<!DOCTYPE r SYSTEM '" + dtd.string() + "' [<!ENTITY % p SYSTEM 'file://" + secret.string() +
                           "'> %p; <!ELEMENT r ANY>]><r>&leak;</r>",
                       validate);
    if (loaded) {
      ASSERT_EQ(doc->get_xml(&xml), S_OK);
      EXPECT_EQ(xml.Utf8().find("FROMDTD"), std::string::npos);
      EXPECT_EQ(xml.Utf8().find("TOPSECRET"), std::string::npos);
    }
    // A network system id is never fetched (the test network is loopback only,
    // and the loader refuses before any connection).
    (void)Load(doc.Get(), "<!DOCTYPE r SYSTEM 'http://127.0.0.1:9/x.dtd'><r/>", validate);
  }
}

TEST_F(DomTest, RefusesEntityExpansionBombsWithBoundedMemory) {
  std::string bomb = "<!DOCTYPE r [<!ENTITY l0 'lollollollollollollollollollol'>";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "'>";
  }
  bomb += "]><r><v>&l9;</v></r>";
  auto doc = NewDocument();
  EXPECT_FALSE(Load(doc.Get(), bomb, false));
  EXPECT_FALSE(Load(doc.Get(), bomb, true));
}

TEST_F(DomTest, DecodesDeclaredEncodings) {
  auto doc = NewDocument();
  // "テスト" in Shift_JIS, "café" in ISO-8859-1.
  ASSERT_TRUE(Load(doc.Get(), "<?xml version='1.0' encoding='Shift_JIS'?><r>\x83\x65\x83\x58\x83\x67</r>"));
  ComPtr<IXMLDOMElement> root;
  ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
  Bstr t;
  ASSERT_EQ(root->get_text(&t), S_OK);
  EXPECT_EQ(t.Utf8(), "テスト");

  ASSERT_TRUE(Load(doc.Get(), "<?xml version='1.0' encoding='ISO-8859-1'?><r>caf\xe9</r>"));
  ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
  ASSERT_EQ(root->get_text(&t), S_OK);
  EXPECT_EQ(t.Utf8(), "café");

  qel::u16 w = u"\uFEFF<?xml version='1.0' encoding='UTF-16'?><r>\u00e9\u3042</r>";
  std::string utf16le;
  for (char16_t c : w) {
    utf16le.push_back(static_cast<char>(c & 0xff));
    utf16le.push_back(static_cast<char>(c >> 8));
  }
  ASSERT_TRUE(Load(doc.Get(), utf16le));
  ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
  ASSERT_EQ(root->get_text(&t), S_OK);
  EXPECT_EQ(t.Utf8(), "éあ");

  EXPECT_FALSE(Load(doc.Get(), "<?xml version='1.0' encoding='x-no-such-encoding'?><r/>"));
}

TEST_F(DomTest, HugeFileFailsCleanly) {
  // 200 MB in one text node: over libxml2's node limit, refused without
  // holding the whole file in memory.
  fs::path p = m_dir.path() / "huge.xml";
  {
    std::ofstream out(p, std::ios::binary);
    out << "<r><INode>";
    std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 200; ++i) out << chunk;
    out << "</INode></r>";
  }
  auto doc = NewDocument();
  Bstr path(p.string());
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(doc->load(StrVariant(path.p), &ok), S_FALSE);
  EXPECT_EQ(ok, VARIANT_FALSE);
}

// Builds <?xml ...?><root xmlns="u"><a>text</a><b/></root>.
ComPtr<IXMLDOMDocument2> BuildSmall(const std::string& encoding, const std::string& text) {
  auto doc = NewDocument(CLSID_DOMDocument);
  ComPtr<IXMLDOMProcessingInstruction> pi;
  Bstr target("xml"), data("version='1.0' encoding='" + encoding + "'");
  EXPECT_EQ(doc->createProcessingInstruction(target.p, data.p, pi.Put()), S_OK);
  EXPECT_EQ(doc->appendChild(pi.Get(), nullptr), S_OK);
  ComPtr<IXMLDOMElement> root;
  Bstr rootName("root");
  EXPECT_EQ(doc->createElement(rootName.p, root.Put()), S_OK);
  ComPtr<IXMLDOMNode> appended;
  EXPECT_EQ(doc->appendChild(root.Get(), appended.Put()), S_OK);
  EXPECT_EQ(appended.Get(), static_cast<IXMLDOMNode*>(root.Get()));
  Bstr xmlns("xmlns"), uri("urn:u");
  EXPECT_EQ(root->setAttribute(xmlns.p, StrVariant(uri.p)), S_OK);
  for (const char* name : {"a", "b"}) {
    ComPtr<IXMLDOMElement> e;
    Bstr n(name);
    EXPECT_EQ(doc->createElement(n.p, e.Put()), S_OK);
    Bstr t(name == std::string("a") ? text : "");
    EXPECT_EQ(e->put_text(t.p), S_OK);
    EXPECT_EQ(root->appendChild(e.Get(), nullptr), S_OK);
  }
  return doc;
}

TEST_F(DomTest, BuildsSerialisesAndSavesInTheDeclaredEncoding) {
  auto doc = BuildSmall("Shift_JIS", "制御 <&> \"'");
  Bstr xml;
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml.Utf8(), "<?xml version='1.0'?>\r\n<root xmlns=\"urn:u\"><a>制御 &lt;&amp;&gt; \"'</a><b/></root>\r\n");

  fs::path out = m_dir.path() / "out.xml";
  Bstr path(out.string());
  ASSERT_EQ(doc->save(StrVariant(path.p)), S_OK);
  EXPECT_EQ(qel::test::ReadFile(out),
            "<?xml version='1.0' encoding='Shift_JIS'?>\n<root xmlns=\"urn:u\"><a>\x90\xa7\x8c\xe4 &lt;&amp;&gt; \"'</a>"
            "<b/></root>\n");
  // Nothing but the target is left in the directory.
  int files = 0;
  for (auto& e : fs::directory_iterator(m_dir.path())) files += e.path().filename() != "out.xml";
  EXPECT_EQ(files, 0);

  // The saved file loads back to the same text.
  auto back = NewDocument();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(back->load(StrVariant(path.p), &ok), S_OK);
  EXPECT_EQ(Text(back.Get(), "/*"), "制御 <&> \"'");
}

TEST_F(DomTest, CharactersShiftJisCannotHoldBecomeCharacterReferences) {
  // "한" (Hangul), "€" and an emoji have no Shift_JIS code.
  auto doc = BuildSmall("Shift_JIS", "x한€😀y");
  fs::path out = m_dir.path() / "refs.xml";
  Bstr path(out.string());
  ASSERT_EQ(doc->save(StrVariant(path.p)), S_OK);
  std::string bytes = qel::test::ReadFile(out);
  EXPECT_NE(bytes.find("x&#54620;&#8364;&#128512;y"), std::string::npos) << bytes;
  auto back = NewDocument();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(back->load(StrVariant(path.p), &ok), S_OK);
  EXPECT_EQ(Text(back.Get(), "/*"), "x한€😀y");
}

TEST_F(DomTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  fs::path out = m_dir.path() / "keep.xml";
  qel::test::WriteFile(out, "old");
  auto doc = BuildSmall("UTF-8", "new");
  Bstr path(out.string());
  qel::fault::Arm("WriteFile", static_cast<std::int64_t>(HRESULT_FROM_WIN32(ERROR_DISK_FULL)));
  EXPECT_EQ(doc->save(StrVariant(path.p)), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  EXPECT_EQ(qel::test::ReadFile(out), "old");
  int entries = 0;
  for (auto& e : fs::directory_iterator(m_dir.path())) entries += e.path() != out;
  EXPECT_EQ(entries, 0);

  ASSERT_EQ(doc->save(StrVariant(path.p)), S_OK);  // a second save replaces the file
  EXPECT_NE(qel::test::ReadFile(out).find("<a>new</a>"), std::string::npos);

  Bstr missingDir((m_dir.path() / "no" / "such.xml").string());
  EXPECT_EQ(doc->save(StrVariant(missingDir.p)), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  Bstr isDir(m_dir.path().string());
  EXPECT_TRUE(FAILED(doc->save(StrVariant(isDir.p))));
}

TEST_F(DomTest, SaveIntoUnwritableDirectoryIsAccessDenied) {
  fs::path ro = m_dir.path() / "ro";
  fs::create_directory(ro);
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(m_dir.path(), fs::perms::all);
  auto doc = BuildSmall("Shift_JIS", "x");
  Bstr path((ro / "QelUPnPDevice.xml").string());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Root passes every permission check: drop to "nobody" first.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(doc->save(StrVariant(path.p)) == E_ACCESSDENIED ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::is_empty(ro));
}

TEST_F(DomTest, TreeRulesKeepTheDocumentWellFormed) {
  auto doc = NewDocument(CLSID_DOMDocument);
  ComPtr<IXMLDOMElement> a, b;
  Bstr na("a"), nb("b"), bad("not a name");
  ASSERT_EQ(doc->createElement(na.p, a.Put()), S_OK);
  ASSERT_EQ(doc->createElement(nb.p, b.Put()), S_OK);
  ComPtr<IXMLDOMElement> invalid;
  EXPECT_TRUE(FAILED(doc->createElement(bad.p, invalid.Put())));
  EXPECT_EQ(doc->createElement(nullptr, invalid.Put()), E_INVALIDARG);

  ASSERT_EQ(doc->appendChild(a.Get(), nullptr), S_OK);
  EXPECT_EQ(doc->appendChild(b.Get(), nullptr), E_FAIL);  // one top-level element only
  ASSERT_EQ(a->appendChild(b.Get(), nullptr), S_OK);
  EXPECT_EQ(b->appendChild(a.Get(), nullptr), E_FAIL);    // no cycles
  EXPECT_EQ(a->appendChild(nullptr, nullptr), E_INVALIDARG);

  ComPtr<IXMLDOMProcessingInstruction> decl;
  Bstr target("xml"), data("version='1.0'");
  ASSERT_EQ(doc->createProcessingInstruction(target.p, data.p, decl.Put()), S_OK);
  EXPECT_EQ(doc->appendChild(decl.Get(), nullptr), E_FAIL);  // the declaration comes first or not at all
  ComPtr<IXMLDOMText> text;
  Bstr control("bad\x01text");
  EXPECT_EQ(doc->createTextNode(control.p, text.Put()), E_INVALIDARG);
  EXPECT_EQ(b->put_text(control.p), E_INVALIDARG);

  // Nodes from another document are refused.
  auto other = NewDocument();
  ComPtr<IXMLDOMElement> foreign;
  ASSERT_EQ(other->createElement(na.p, foreign.Put()), S_OK);
  EXPECT_EQ(a->appendChild(foreign.Get(), nullptr), E_INVALIDARG);

  // Adjacent text nodes stay separate objects; both stay usable.
  ComPtr<IXMLDOMText> t1, t2;
  Bstr s1("one"), s2("two");
  ASSERT_EQ(doc->createTextNode(s1.p, t1.Put()), S_OK);
  ASSERT_EQ(doc->createTextNode(s2.p, t2.Put()), S_OK);
  ASSERT_EQ(b->appendChild(t1.Get(), nullptr), S_OK);
  ASSERT_EQ(b->appendChild(t2.Get(), nullptr), S_OK);
  Bstr got;
  ASSERT_EQ(t1->get_text(&got), S_OK);
  EXPECT_EQ(got.Utf8(), "one");
  ASSERT_EQ(b->put_text(s1.p), S_OK);  // replaces both; their objects live on
  ASSERT_EQ(t2->get_text(&got), S_OK);
  EXPECT_EQ(got.Utf8(), "two");
  Bstr xml;
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml.Utf8(), "<a><b>one</b></a>\r\n");
}

TEST_F(DomTest, FaultSeamFailsEachGuardedMethod) {
  auto doc = NewDocument();
  qel::fault::Arm("IXMLDOMDocument::put_async", static_cast<std::int64_t>(E_UNEXPECTED));
  EXPECT_EQ(doc->put_async(VARIANT_FALSE), E_UNEXPECTED);
  EXPECT_EQ(doc->put_async(VARIANT_FALSE), S_OK);  // armed once
  qel::fault::Arm("IXMLDOMNode::get_xml", static_cast<std::int64_t>(E_OUTOFMEMORY));
  Bstr xml;
  EXPECT_EQ(doc->get_xml(&xml), E_OUTOFMEMORY);
}

}  // namespace

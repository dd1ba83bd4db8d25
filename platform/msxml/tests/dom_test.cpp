// The DOM document classes: loading and its refusals, queries, text rules,
// building, serialising and saving.
#include <fcntl.h>
#include <iconv.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

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

// One child by its plain name gives what the query engine's first match is:
// an element of that name in no namespace, never a deeper one.
TEST_F(DomTest, SingleChildByNameIsTheFirstMatchOfTheSameQuery) {
  struct Row {
    const char* xml;
    const char* query;
    const char* expected;  // the selected node's markup, or "<none>"
  };
  const Row rows[] = {
      {"<r xmlns:p='u'><p:v>ns</p:v><v>plain</v><v>second</v></r>", "v", "<v>plain</v>"},
      {"<r xmlns='u'><v>in a default namespace</v></r>", "v", "<none>"},
      {"<r><w><v>deep</v></w><v2/></r>", "v", "<none>"},
      {"<r>text<v.1-a_b>odd name</v.1-a_b></r>", "v.1-a_b", "<v.1-a_b>odd name</v.1-a_b>"},
      {"<r><and>x</and></r>", "and", "<and>x</and>"},
      {"<r><V>upper</V><v>lower</v></r>", "v", "<v>lower</v>"},
  };
  auto markup = [](IXMLDOMNode* n) {
    if (!n) return std::string("<none>");
    Bstr x;
    EXPECT_EQ(n->get_xml(&x), S_OK);
    return x.Utf8();
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xml);
    auto doc = NewDocument();
    ASSERT_TRUE(Load(doc.Get(), row.xml));
    ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
    Bstr q(row.query);
    ComPtr<IXMLDOMNode> single;
    EXPECT_EQ(root->selectSingleNode(q.p, single.Put()), std::string(row.expected) == "<none>" ? S_FALSE : S_OK);
    EXPECT_EQ(markup(single.Get()), row.expected);
    ComPtr<IXMLDOMNodeList> list;
    ASSERT_EQ(root->selectNodes(q.p, list.Put()), S_OK);
    ComPtr<IXMLDOMNode> first;
    (void)list->get_item(0, first.Put());
    EXPECT_EQ(markup(first.Get()), markup(single.Get()));
  }
  // From the document itself the child is the root element.
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), "<r><v/></r>"));
  EXPECT_EQ(Text(doc.Get(), "r"), "");
  EXPECT_EQ(Text(doc.Get(), "v"), "<none>");
}

// Children chosen by one attribute's value are found by walking the
// children; the same query written with spaces still goes through the query
// engine, and both must select the same nodes.
TEST_F(DomTest, ChildrenByAttributeValueAreWhatTheQueryEngineSelects) {
  struct Row {
    const char* xml;
    const char* query;
    const char* expected;  // the selected nodes' texts (null: whatever the engine selects)
  } rows[] = {
      {"<r><n T='c'>1</n><n T='w'>2</n><m T='c'>3</m><n T='c'>4</n><w><n T='c'>5</n></w></r>", "n[@T='c']", "1 4 "},
      {"<r xmlns:p='u'><n p:T='c'>ns</n><n T='c' p:T='x'>plain</n></r>", "n[@T=\"c\"]", "plain "},
      {"<r xmlns='u'><n T='c'>default namespace</n></r>", "n[@T='c']", ""},
      {"<r><n T=''>empty</n><n>none</n></r>", "n[@T='']", "empty "},
      {"<r><n T='a]=b'>odd</n><n T='\xE6\x9C\xAC'>kanji</n></r>", "n[@T='a]=b']", "odd "},
      {"<r><n T='\xE6\x9C\xAC'>kanji</n></r>", "n[@T='\xE6\x9C\xAC']", "kanji "},
      // An entity reference in a value: the query engine's reading, whatever it is, holds.
      {"<!DOCTYPE r [<!ENTITY e 'c'>]><r><n T='c'>plain</n><n T='&e;'>entity</n><n T='&#99;'>ref</n></r>",
       "n[@T='c']", nullptr},
  };
  auto texts = [](IXMLDOMNodeList* list) {
    std::string all;
    ComPtr<IXMLDOMNode> item;
    for (LONG i = 0; list->get_item(i, item.Put()) == S_OK; ++i) {
      Bstr text;
      EXPECT_EQ(item->get_text(&text), S_OK);
      all += text.Utf8() + " ";
    }
    return all;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xml);
    auto doc = NewDocument();
    ASSERT_TRUE(Load(doc.Get(), row.xml, /*validate=*/false));
    ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.Put()), S_OK);
    std::string spacedQuery = row.query;
    spacedQuery.replace(spacedQuery.find('='), 1, " = ");
    Bstr q(row.query), spaced(spacedQuery);
    ComPtr<IXMLDOMNodeList> walked, queried;
    ASSERT_EQ(root->selectNodes(q.p, walked.Put()), S_OK);
    ASSERT_EQ(root->selectNodes(spaced.p, queried.Put()), S_OK);
    EXPECT_EQ(texts(walked.Get()), texts(queried.Get()));
    if (row.expected) EXPECT_EQ(texts(walked.Get()), row.expected);
  }
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

// Decodes with the C library's converter for `charset`, as another reader would.
std::string Decoded(const std::string& bytes, const char* charset) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no converter>";
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  char* o = out.data();
  size_t il = bytes.size(), ol = out.size();
  size_t r = iconv(cd, &in, &il, &o, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<undecodable>";
  out.resize(out.size() - ol);
  return out;
}

// Standard error of this process, caught for the life of the object.
class StderrCapture {
 public:
  explicit StderrCapture(const fs::path& file) : m_file(file) {
    std::fflush(stderr);
    m_saved = dup(2);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    return qel::test::ReadFile(m_file);
  }

 private:
  void Restore() {
    if (m_saved < 0) return;
    std::fflush(stderr);
    dup2(m_saved, 2);
    ::close(m_saved);
    m_saved = -1;
  }
  fs::path m_file;
  int m_saved = -1;
};

// Every character written into a Shift_JIS document reads back the same
// through a code-page-932 reader and through a strict Shift_JIS reader; the
// characters on which the two disagree, or that only one of them knows, are
// written as character references.
TEST_F(DomTest, ShiftJisDocumentsRoundTripThroughBothKindsOfReader) {
  struct Row {
    const char* text;
    const char* written;  // the bytes expected in the file
  };
  const Row rows[] = {
      {"http://127.0.0.1/~qel/", "http://127.0.0.1/&#126;qel/"},
      {"C:\\Line~A", "C:&#92;Line&#126;A"},
      {"¥‾", "&#165;&#8254;"},
      {"～－￢∥", "&#65374;&#65293;&#65506;&#8741;"},  // cp932's forms of 0x8160 0x817C 0x81CA 0x8161
      {"〜−¬‖", "&#12316;&#8722;&#172;&#8214;"},      // strict Shift_JIS's forms of the same bytes
      {"①Ⅲ㈱", "&#9312;&#8546;&#12849;"},             // NEC row 13
      {"髙﨑纊", "&#39641;&#64017;&#32394;"},           // IBM and NEC-selected IBM extensions
      {"\xee\x80\x80", "&#57344;"},                     // user-defined area
      {"本社ﾀｲﾌﾟ＼", "\x96\x7b\x8e\xd0\xc0\xb2\xcc\xdf\x81\x5f"},
      {"제😀", "&#51228;&#128512;"},
  };
  // Long texts cross the encoder's blocks inside runs of plain ASCII, and
  // between a run and a character that is not written as itself.
  std::string longText, longWritten;
  for (int i = 0; i < 3000; ++i) {
    longText += "Controller-" + std::to_string(i) + (i % 7 ? "~" : "本");
    longWritten += "Controller-" + std::to_string(i) + (i % 7 ? "&#126;" : "\x96\x7b");
  }
  std::vector<std::pair<std::string, std::string>> all;
  for (const Row& row : rows) all.emplace_back(row.text, row.written);
  all.emplace_back(longText, longWritten);
  StderrCapture err(m_dir.path() / "stderr");
  for (const auto& [text, written] : all) {
    const Row row{text.c_str(), written.c_str()};
    SCOPED_TRACE(row.text);
    auto doc = BuildSmall("Shift_JIS", row.text);
    fs::path out = m_dir.path() / "rt.xml";
    Bstr path(out.string());
    ASSERT_EQ(doc->save(StrVariant(path.p)), S_OK);
    std::string bytes = qel::test::ReadFile(out);
    EXPECT_NE(bytes.find(std::string("<a>") + row.written + "</a>"), std::string::npos) << bytes;

    auto back = NewDocument();
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(back->load(StrVariant(path.p), &ok), S_OK);
    EXPECT_EQ(Text(back.Get(), "/*"), row.text);
    // Both kinds of reader decode the file to the same text.
    std::string cp932 = Decoded(bytes, "CP932");
    EXPECT_EQ(cp932, Decoded(bytes, "SHIFT_JIS"));
    Bstr utf16(cp932);
    ASSERT_EQ(back->loadXML(utf16.p, &ok), S_OK);
    EXPECT_EQ(Text(back.Get(), "/*"), row.text);
  }
  EXPECT_EQ(err.Text(), "");
}

// Reading: every label of code page 932 reads 0x5C and 0x7E as Windows does
// and knows its extension rows; bytes that are no character, a character cut
// off at the end of the file, or a byte-order mark that contradicts the
// declaration refuse the load, and nothing is printed.
TEST_F(DomTest, CodePage932FilesReadAsWindowsReadsThem) {
  StderrCapture err(m_dir.path() / "stderr");
  auto doc = NewDocument();
  for (const char* label : {"Shift_JIS", "shift-jis", "SJIS", "x-sjis", "MS_Kanji", "csShiftJIS", "Windows-31J",
                            "cp932"}) {
    SCOPED_TRACE(label);
    ASSERT_TRUE(Load(doc.Get(), std::string("<?xml version='1.0' encoding='") + label +
                                    "'?><r>\\~\x87\x40\x87\x56\xfb\xfc\xfa\xb1\xed\x40\xf0\x40\x81\x60</r>"));
    EXPECT_EQ(Text(doc.Get(), "/r"), "\\~①Ⅲ髙﨑纊\xee\x80\x80～");
  }
  struct Bad {
    const char* what;
    std::string bytes;
    LONG code;
  };
  const std::string decl = "<?xml version='1.0' encoding='Shift_JIS'?>";
  const Bad bad[] = {
      {"byte 0x80", decl + "<r>\x80</r>", static_cast<LONG>(0xC00CE56E)},
      {"byte 0xA0", decl + "<r>\xa0</r>", static_cast<LONG>(0xC00CE56E)},
      {"byte 0xFD", decl + "<r>\xfd</r>", static_cast<LONG>(0xC00CE56E)},
      {"unassigned code", decl + "<r>\x85\x40</r>", static_cast<LONG>(0xC00CE56E)},
      {"bad trail byte", decl + "<r>\x82<</r>", static_cast<LONG>(0xC00CE56E)},
      {"bad byte after the root", decl + "<r/>\x80", static_cast<LONG>(0xC00CE56E)},
      {"lead byte at the end", decl + "<r/>\x82", static_cast<LONG>(0xC00CE56E)},
      {"lead byte at the end of text", decl + "<r>\x82", static_cast<LONG>(0xC00CE56E)},
      {"UTF-8 BOM, Shift_JIS declared", "\xef\xbb\xbf" + decl + "<r/>", static_cast<LONG>(0xC00CE56F)},
      {"UTF-16 BOM, Shift_JIS declared",
       std::string("\xff\xfe<\0?\0x\0m\0l\0 \0e\0n\0c\0o\0d\0i\0n\0g\0=\0'\0s\0j\0i\0s\0'\0?\0>\0<\0r\0/\0>\0", 48),
       static_cast<LONG>(0xC00CE56F)},
      {"EUC-JP invalid sequence", "<?xml version='1.0' encoding='EUC-JP'?><r>\xa4\x20</r>",
       static_cast<LONG>(0xC00CE56E)},
      {"EUC-JP cut off after the root", "<?xml version='1.0' encoding='EUC-JP'?><r/>\xa4", static_cast<LONG>(0xC00CE56E)},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    EXPECT_FALSE(Load(doc.Get(), b.bytes));
    ComPtr<IXMLDOMParseError> e;
    ASSERT_EQ(doc->get_parseError(e.Put()), S_OK);
    LONG code = 0;
    EXPECT_EQ(e->get_errorCode(&code), S_OK);
    EXPECT_EQ(code, b.code);
  }
  // A BOM that agrees with the declaration is fine.
  EXPECT_TRUE(Load(doc.Get(), "\xef\xbb\xbf<?xml version='1.0' encoding='utf-8'?><r>\xe2\x80\xbe</r>"));
  EXPECT_EQ(Text(doc.Get(), "/r"), "‾");
  EXPECT_EQ(err.Text(), "");
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

// Nodes made, linked, taken out and linked again in every order: each is
// freed exactly once with its document, whichever of the document and the
// node objects goes first (a double free aborts; the sanitizer stage also
// reports a node never freed).
TEST_F(DomTest, NodesMovedInAndOutOfTheTreeAreFreedOnce) {
  for (bool documentFirst : {true, false}) {
    ComPtr<IXMLDOMElement> kept;
    {
      auto doc = NewDocument();
      Bstr nr("r"), na("a"), nb("b"), nc("c"), nd("d");
      ComPtr<IXMLDOMElement> r, a, b, c, d;
      ASSERT_EQ(doc->createElement(nr.p, r.Put()), S_OK);
      ASSERT_EQ(doc->createElement(na.p, a.Put()), S_OK);
      ASSERT_EQ(doc->createElement(nb.p, b.Put()), S_OK);
      ASSERT_EQ(doc->createElement(nc.p, c.Put()), S_OK);
      ASSERT_EQ(doc->createElement(nd.p, d.Put()), S_OK);
      ASSERT_EQ(doc->appendChild(r.Get(), nullptr), S_OK);
      ASSERT_EQ(b->appendChild(c.Get(), nullptr), S_OK);  // below a parent that is itself outside the tree
      ASSERT_EQ(r->appendChild(a.Get(), nullptr), S_OK);  // linked long after it was made
      ASSERT_EQ(r->appendChild(d.Get(), nullptr), S_OK);
      ASSERT_EQ(r->removeChild(a.Get(), nullptr), S_OK);
      ASSERT_EQ(d->appendChild(a.Get(), nullptr), S_OK);  // back in, elsewhere
      ASSERT_EQ(d->removeChild(a.Get(), nullptr), S_OK);  // and out again, for good
      ASSERT_EQ(r->appendChild(c.Get(), nullptr), S_OK);  // moved from the detached b into the tree
      Bstr xml;
      ASSERT_EQ(doc->get_xml(&xml), S_OK);
      EXPECT_EQ(xml.Utf8(), "<r><d/><c/></r>\r\n");
      kept = documentFirst ? a : c;
      if (documentFirst) doc = nullptr;
    }
    Bstr name;
    ASSERT_EQ(kept->get_nodeName(&name), S_OK);
    EXPECT_EQ(name.Utf8(), documentFirst ? "a" : "c");
  }
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

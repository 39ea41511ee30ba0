#include "config/uXMLBinding.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// A minimal binding that exposes the generic helpers to the tests.
class TTestNode : public TXMLNode {
  public:
    using TXMLNode::TXMLNode;
    std::string Str(const char* Name) const { return GetStringAttr(Name); }
    int Int(const char* Name) const { return GetIntegerAttr(Name); }
    bool Bool(const char* Name) const { return GetBooleanAttr(Name); }
    void SetStr(const char* Name, const std::string& V) { SetStringAttr(Name, V); }
    void SetInt(const char* Name, int V) { SetIntegerAttr(Name, V); }
    void SetBool(const char* Name, bool V) { SetBooleanAttr(Name, V); }
    std::shared_ptr<TTestNode> Child(const char* Name) const { return GetChild<TTestNode>(Name); }
};

class TTestItems : public TXMLNodeCollection {
  public:
    explicit TTestItems(TXMLNodeRef Ref) : TXMLNodeCollection(std::move(Ref), "Item") {}
    std::shared_ptr<TTestNode> Item(int Index) const {
        return std::make_shared<TTestNode>(ItemRef(Index));
    }
    std::shared_ptr<TTestNode> Add() { return std::make_shared<TTestNode>(AddItem()); }
    std::shared_ptr<TTestNode> Insert(int Index) {
        return std::make_shared<TTestNode>(InsertItem(Index));
    }

  protected:
    std::shared_ptr<TXMLNode> CreateItem(TXMLNodeRef Ref) const override {
        return std::make_shared<TTestNode>(std::move(Ref));
    }
};

class TTestRoot : public TTestNode {
  public:
    using TTestNode::TTestNode;
    std::shared_ptr<TTestItems> Items(const char* Name) const { return GetChild<TTestItems>(Name); }
};

std::shared_ptr<TTestRoot> Bind(const std::string& Text, const std::string& Root = "R") {
    return GetDocBinding<TTestRoot>(NewXMLDocument(Text), Root);
}

// The text of the conversion error thrown by F, or nullopt when it did not throw one.
template <class F>
std::optional<std::string> CastError(F&& Fn) {
    try {
        Fn();
    } catch (const EVariantTypeCastError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

const std::string kNullInteger = "Could not convert variant of type (Null) into type (Integer)";
const std::string kNullBoolean = "Could not convert variant of type (Null) into type (Boolean)";
const std::string kStringInteger = "Could not convert variant of type (String) into type (Integer)";
const std::string kStringBoolean = "Could not convert variant of type (String) into type (Boolean)";

}  // namespace

TEST(XMLBindingValues, StringsAreExactAndAbsentReadsEmpty) {
    auto r = Bind(R"(<R a="  padded  " b="" e="x &amp; &lt;y&gt; &#65;"/>)");
    EXPECT_EQ(r->Str("a"), "  padded  ");
    EXPECT_EQ(r->Str("b"), "");
    EXPECT_EQ(r->Str("missing"), "");
    EXPECT_EQ(r->Str("e"), "x & <y> A");
    EXPECT_TRUE(r->HasAttribute("b"));
    EXPECT_FALSE(r->HasAttribute("missing"));
}

TEST(XMLBindingValues, Integers) {
    auto r = Bind(R"(<R a="42" b="-7" c="+5" max="2147483647" min="-2147483648" pad=" 12 "
        empty="" over="2147483648" under="-2147483649" huge="99999999999999999999999"
        alpha="12a" frac="1.5" hex="0x10" sign="-" blank=" "/>)");
    EXPECT_EQ(r->Int("a"), 42);
    EXPECT_EQ(r->Int("b"), -7);
    EXPECT_EQ(r->Int("c"), 5);
    EXPECT_EQ(r->Int("max"), 2147483647);
    EXPECT_EQ(r->Int("min"), -2147483647 - 1);
    EXPECT_EQ(r->Int("pad"), 12);
    EXPECT_EQ(CastError([&] { r->Int("missing"); }), kNullInteger);
    EXPECT_EQ(CastError([&] { r->Int("empty"); }), kNullInteger);
    for (const char* bad : {"over", "under", "huge", "alpha", "frac", "hex", "sign", "blank"})
        EXPECT_EQ(CastError([&] { r->Int(bad); }), kStringInteger) << bad;
}

TEST(XMLBindingValues, Booleans) {
    auto r = Bind(R"(<R t1="TRUE" t2="true" t3="1" t4="-1" t5="TrUe" t6="42"
        f1="0" f2="False" f3="false" f4="000" empty="" yes="yes" no="no" alpha="1a"/>)");
    for (const char* t : {"t1", "t2", "t3", "t4", "t5", "t6"}) EXPECT_TRUE(r->Bool(t)) << t;
    for (const char* f : {"f1", "f2", "f3", "f4"}) EXPECT_FALSE(r->Bool(f)) << f;
    EXPECT_EQ(CastError([&] { r->Bool("missing"); }), kNullBoolean);
    EXPECT_EQ(CastError([&] { r->Bool("empty"); }), kNullBoolean);
    for (const char* bad : {"yes", "no", "alpha"})
        EXPECT_EQ(CastError([&] { r->Bool(bad); }), kStringBoolean) << bad;
}

TEST(XMLBindingValues, SettersWriteTextTheReadsAccept) {
    auto r = Bind("<R/>");
    r->SetInt("i", -123);
    r->SetBool("t", true);
    r->SetBool("f", false);
    r->SetStr("s", " a&b ");
    r->SetStr("s", "second");  // overwrites, no duplicate attribute
    EXPECT_EQ(r->Int("i"), -123);
    EXPECT_TRUE(r->Bool("t"));
    EXPECT_FALSE(r->Bool("f"));
    EXPECT_EQ(r->GetXML(), R"(<R i="-123" t="true" f="false" s="second"/>)");
}

TEST(XMLBindingDocument, RootNameAndParseErrors) {
    try {
        Bind("<Other/>", "R");
        FAIL() << "another root was bound";
    } catch (const EXMLInterfaceError& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    try {
        Bind("<R>\n  <A></B>\n</R>");
        FAIL() << "malformed text was bound";
    } catch (const EXMLParseError& e) {
        EXPECT_STREQ(e.what(), "Start-end tags mismatch (line 2, column 8)");
    }
    // Content the parser would tolerate but that hides part of the document.
    EXPECT_THROW(Bind("<R/><R/>"), EXMLParseError);
    EXPECT_THROW(Bind("<R/>trailing"), EXMLParseError);
    EXPECT_THROW(Bind("<R/><![CDATA[x]]>"), EXMLParseError);
    EXPECT_EQ(Bind("<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<R a=\"1\"/>\r\n")->Int("a"), 1);
    try {
        Bind("<!-- only a comment -->");
        FAIL();
    } catch (const EXMLParseError& e) {
        EXPECT_STREQ(e.what(), "No document element found (line 1, column 24)");
    }
}

TEST(XMLBindingDocument, EmptyTextGetsTheExpectedRoot) {
    for (const std::string text : {"", " \r\n\t"}) {
        auto doc = NewXMLDocument(text);
        auto r = GetDocBinding<TTestRoot>(doc, "R");
        EXPECT_TRUE(r->IsPresent());
        EXPECT_EQ(r->GetNodeName(), "R");
        EXPECT_EQ(r->Items("List")->GetCount(), 0);
        EXPECT_EQ(CastError([&] { r->Int("a"); }), kNullInteger);
        // Binding it again, by the same name, finds the created root.
        EXPECT_EQ(GetDocBinding<TTestRoot>(doc, "R")->GetXML(), "<R/>");
    }
}

TEST(XMLBindingDocument, NoEntityOrDTDExpansion) {
    auto r = Bind(R"(<!DOCTYPE R [<!ENTITY e SYSTEM "file:///etc/hostname"><!ENTITY i "inner">]>
        <R a="&e;" b="&i;"/>)");
    EXPECT_EQ(r->Str("a"), "&e;");
    EXPECT_EQ(r->Str("b"), "&i;");
}

TEST(XMLBindingDocument, EncodingsBecomeUtf8) {
    EXPECT_EQ(Bind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R a=\"caf\xe9\"/>")->Str("a"),
              "caf\xc3\xa9");
    EXPECT_EQ(Bind("\xef\xbb\xbf<R a=\"b\"/>")->Str("a"), "b");
    const char raw[] = "\xff\xfe<\0R\0 \0a\0=\0\"\0z\0\"\0/\0>\0";
    const std::string utf16le(raw, sizeof raw - 1);
    EXPECT_EQ(Bind(utf16le)->Str("a"), "z");
}

TEST(XMLBindingDocument, BindingsKeepTheDocumentAlive) {
    std::shared_ptr<TTestNode> child, absent;
    {
        auto r = Bind(R"(<R><C v="kept"/></R>)");
        child = r->Child("C");
        absent = r->Child("Missing")->Child("Deeper");
    }
    EXPECT_EQ(child->Str("v"), "kept");
    EXPECT_EQ(absent->Str("v"), "");
    absent->SetStr("v", "made");  // creates Missing/Deeper in the still-living document
    EXPECT_EQ(absent->Str("v"), "made");
}

TEST(XMLBindingChildren, AbsentChildReadsEmptyAndChangesNothing) {
    const std::string text = R"(<R><A x="1"/></R>)";
    auto doc = NewXMLDocument(text);
    auto r = GetDocBinding<TTestRoot>(doc, "R");
    const std::string before = doc->GetXML();

    auto absent = r->Child("B")->Child("C");
    EXPECT_FALSE(absent->IsPresent());
    EXPECT_EQ(absent->GetNodeName(), "C");
    EXPECT_EQ(absent->Str("x"), "");
    EXPECT_FALSE(absent->HasAttribute("x"));
    EXPECT_EQ(absent->GetXML(), "");
    EXPECT_EQ(CastError([&] { absent->Int("x"); }), kNullInteger);
    EXPECT_EQ(CastError([&] { absent->Bool("x"); }), kNullBoolean);
    EXPECT_EQ(r->Child("B")->Child("List")->GetNodeName(), "List");
    EXPECT_EQ(r->Items("B")->GetCount(), 0);
    EXPECT_THROW(r->Items("B")->Item(0), EXMLListError);

    EXPECT_EQ(doc->GetXML(), before);
}

TEST(XMLBindingChildren, FirstOfTwoSameNamedChildrenAndAnyOrder) {
    auto r = Bind(R"(<R><Z/><A v="first"><In v="a"/></A><A v="second"/></R>)");
    EXPECT_EQ(r->Child("A")->Str("v"), "first");
    EXPECT_EQ(r->Child("A")->Child("In")->Str("v"), "a");
    EXPECT_TRUE(r->Child("Z")->IsPresent());
}

TEST(XMLBindingChildren, WritingAnAbsentChildCreatesItOnce) {
    auto doc = NewXMLDocument("<R/>");
    auto r = GetDocBinding<TTestRoot>(doc, "R");
    auto first = r->Child("A")->Child("B");
    auto second = r->Child("A")->Child("B");
    first->SetStr("x", "1");
    second->SetInt("y", 2);
    EXPECT_EQ(r->GetXML(), R"(<R><A><B x="1" y="2"/></A></R>)");
}

TEST(XMLBindingCollections, ItemsInOrderSkippingOtherNames) {
    auto r = Bind(R"(<R><List><Item n="1"/><Other n="x"/><!-- c --><Item n="2"/>text
        <Item n="3"/><item n="lower"/></List></R>)");
    auto list = r->Items("List");
    ASSERT_EQ(list->GetCount(), 3);
    EXPECT_EQ(list->Item(0)->Str("n"), "1");
    EXPECT_EQ(list->Item(1)->Str("n"), "2");
    EXPECT_EQ(list->Item(2)->Str("n"), "3");
    EXPECT_EQ(list->GetNode(2)->GetAttribute("n"), "3");
    EXPECT_THROW(list->Item(3), EXMLListError);
    EXPECT_THROW(list->Item(-1), EXMLListError);
    try {
        list->GetNode(7);
        FAIL();
    } catch (const EXMLListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (7)");
    }
}

TEST(XMLBindingCollections, Changes) {
    auto r = Bind(R"(<R><List><Item n="1"/><Other/><Item n="2"/></List></R>)");
    auto list = r->Items("List");
    list->Add()->SetStr("n", "3");
    list->Insert(0)->SetStr("n", "0");
    list->Insert(2)->SetStr("n", "1b");
    list->Insert(list->GetCount())->SetStr("n", "4");
    EXPECT_EQ(list->GetXML(),
              R"(<List><Item n="0"/><Item n="1"/><Other/><Item n="1b"/><Item n="2"/>)"
              R"(<Item n="3"/><Item n="4"/></List>)");
    EXPECT_THROW(list->Insert(99), EXMLListError);

    list->Delete(1);
    list->Remove(list->GetNode(3));
    EXPECT_THROW(list->Delete(4), EXMLListError);
    EXPECT_EQ(list->GetCount(), 4);
    EXPECT_EQ(list->Item(2)->Str("n"), "2");
    EXPECT_EQ(r->Items("List")->GetCount(), 4);  // a fresh binding sees the same

    list->Clear();
    EXPECT_EQ(list->GetCount(), 0);
    EXPECT_EQ(list->GetXML(), "<List><Other/></List>");
}

TEST(XMLBindingCollections, AddingToAnAbsentCollectionCreatesIt) {
    auto r = Bind("<R/>");
    EXPECT_FALSE(r->Child("Outer")->Child("Unused")->IsPresent());  // read only: nothing made
    EXPECT_EQ(r->GetXML(), "<R/>");
    auto items = r->Items("List");
    items->Add()->SetStr("n", "1");
    EXPECT_EQ(r->GetXML(), R"(<R><List><Item n="1"/></List></R>)");
    EXPECT_EQ(items->GetCount(), 1);
}

TEST(XMLBindingDocument, LoadFromFile) {
    EXPECT_THROW(LoadXMLDocument("/nonexistent/dir/file.xml"), EXMLError);
    auto doc =
        LoadXMLDocument(std::string(BROVA_SOURCE_DIR) + "/packaging/BrovaCSVSenderConfig.xml");
    EXPECT_EQ(GetDocBinding<TTestRoot>(doc, "BulkCSVSender")->GetNodeName(), "BulkCSVSender");
}

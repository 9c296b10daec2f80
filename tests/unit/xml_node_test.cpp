#include "config/xml_node.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* kSample = L"<Root><a id='1' flag='TRUE' n='12ab' w='abc' e=''/>"
                         L"<B><x name='grandchild'/></B><x name='child'/></Root>";

TEST(XmlNodeLoad, FailedLoadsKeepThePreviousTree) {
    TempFolder dir;
    XmlNode node;
    ASSERT_TRUE(node.LoadXml(kSample));
    ASSERT_EQ(node.ChildCount(), 3u);

    WriteBytes(dir / L"empty.xml", "");
    WriteBytes(dir / L"broken.xml", "<Root><a></Root>");
    EXPECT_FALSE(node.LoadFile(dir / L"missing.xml"));
    EXPECT_FALSE(node.LoadFile(dir / L"empty.xml"));
    EXPECT_FALSE(node.LoadFile(dir / L"broken.xml"));
    EXPECT_FALSE(node.LoadXml(L"not xml"));
    EXPECT_EQ(node.ChildCount(), 3u);
    EXPECT_EQ(node.GetName(), L"Root");
}

// Found by fuzzing: Wine's MSXML crashed on a long version in the XML
// declaration (it prints the declaration into a small buffer).
TEST(XmlNodeLoad, OverlongDeclarationValuesAreRefused) {
    XmlNode node;
    ASSERT_TRUE(node.LoadXml(kSample));
    const std::wstring nines(40, L'9');
    for (const std::wstring& text :
         {L"<?xml version=\"1." + nines + L"\"?><r/>",
          std::wstring(
              L"\u3000 <?xml version='1.0' encoding='ISO-8859-1-Windows-3.1-Latin-1'?><r/>"),
          L"\xFEFF<?xml version = \"1." + nines + L"\" encoding=\"gbk\"?><r n='\u7f51'/>"}) {
        EXPECT_FALSE(node.LoadXml(text)) << text;
        EXPECT_EQ(node.GetName(), L"Root");
    }
    // Ordinary declarations and long values elsewhere still load.
    for (const wchar_t* text :
         {L"<?xml version=\"1.0\" encoding=\"gbk\" standalone=\"yes\"?><r/>",
          L"<?xml version='1.0' encoding='windows-1252'?><r/>",
          L"<r v='1.99999999999999999999999999999999'/>",
          L"<!-- <?xml version='1.99999999999999999999999999999'?> --><r/>"}) {
        EXPECT_TRUE(node.LoadXml(text)) << text;
        EXPECT_EQ(node.GetName(), L"r");
    }
}

TEST(XmlNodeRead, AttributesFallBackOnlyWhenAttached) {
    XmlNode empty;
    EXPECT_EQ(empty.GetAttribute(L"id", L"default"), L"");
    EXPECT_EQ(empty.GetName(), L"");
    EXPECT_EQ(empty.GetText(), L"");

    XmlNode root;
    ASSERT_TRUE(root.LoadXml(kSample));
    XmlNode* a = root.FindChild(L"A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetAttribute(L"missing", L"default"), L"default");
    EXPECT_EQ(a->GetAttribute(L"e", L"default"), L"");
    EXPECT_TRUE(a->GetBoolAttribute(L"flag", false));
    EXPECT_FALSE(a->GetBoolAttribute(L"id", false)); // "1" is not a boolean text
    EXPECT_TRUE(a->GetBoolAttribute(L"missing", true));
    EXPECT_EQ(a->GetIntAttribute(L"n", 7), 12);
    EXPECT_EQ(a->GetIntAttribute(L"w", 7), 0);
    EXPECT_EQ(a->GetIntAttribute(L"e", 7), 7);
    EXPECT_EQ(a->GetIntAttribute(L"missing", 7), 7);
}

TEST(XmlNodeRead, TextIsTheFirstTextChildOnly) {
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(L"<r><e><c/>first<c/>second</e><n><c>inner</c></n></r>"));
    EXPECT_EQ(root.FindChild(L"e")->GetText(), L"first");
    EXPECT_EQ(root.FindChild(L"n")->GetText(), L"");
}

TEST(XmlNodeLoad, MirrorsElementChildrenInDocumentOrder) {
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(L"<r>text<a/><!-- note --><b><c/></b><?pi x?><![CDATA[z]]><d/></r>"));
    ASSERT_EQ(root.ChildCount(), 3u);
    EXPECT_EQ(root.Child(0)->GetName(), L"a");
    EXPECT_EQ(root.Child(1)->GetName(), L"b");
    EXPECT_EQ(root.Child(1)->ChildCount(), 1u);
    EXPECT_EQ(root.Child(2)->GetName(), L"d");
    EXPECT_EQ(root.GetText(), L"text");
}

TEST(XmlNodeLoad, LargeListsAreMirroredWhole) {
    std::wstring list = L"<list>";
    for (int i = 0; i < 40000; ++i)
        list += L"<item id='" + std::to_wstring(i) + L"'/>";
    list += L"</list>";
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(list));
    ASSERT_EQ(root.ChildCount(), 40000u);
    EXPECT_EQ(root.Child(39999)->GetIntAttribute(L"id", -1), 39999);
}

TEST(XmlNodeLoad, DeepNestingIsCutNotFollowed) {
    std::wstring deep;
    for (int i = 0; i < 200; ++i)
        deep += L"<e>";
    for (int i = 0; i < 200; ++i)
        deep += L"</e>";
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(deep));
    int levels = 0;
    for (const XmlNode* node = &root; node->ChildCount() == 1; node = node->Child(0))
        ++levels;
    EXPECT_EQ(levels, XmlNode::kDeepestMirroredLevel);
}

TEST(XmlNodeFind, LookupRules) {
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(kSample));
    EXPECT_EQ(root.FindChild(L"nothing"), nullptr);
    EXPECT_EQ(root.FindChild(L""), nullptr);
    EXPECT_EQ(root.FindChildOrSelf(L"nothing"), &root);
    // A direct child wins over an earlier grandchild of the same name.
    EXPECT_EQ(root.FindDescendant(L"X")->GetAttribute(L"name", L""), L"child");
    EXPECT_EQ(root.FindChild(L"b")->FindDescendant(L"x")->GetAttribute(L"name", L""),
              L"grandchild");
    EXPECT_THROW(root.FindChild(nullptr), ComError);
    EXPECT_THROW(root.FindDescendant(nullptr), ComError);
}

TEST(XmlNodeWrite, AddedChildIsFoundAndSavedBackToTheLoadedFile) {
    TempFolder dir;
    std::wstring file = dir / L"settings.xml";
    WriteBytes(file, "<User>\n</User>");

    XmlNode root;
    ASSERT_TRUE(root.LoadFile(file));
    EXPECT_EQ(root.AddChild(L"Language"), 1);
    XmlNode* language = root.FindChild(L"language");
    ASSERT_NE(language, nullptr);
    EXPECT_TRUE(language->SetAttribute(L"value", L"eng"));
    EXPECT_TRUE(language->SetIntAttribute(L"n", -5));
    EXPECT_TRUE(root.Save(L""));

    XmlNode reread;
    ASSERT_TRUE(reread.LoadFile(file));
    EXPECT_EQ(reread.FindChild(L"Language")->GetAttribute(L"value", L""), L"eng");
    EXPECT_EQ(reread.FindChild(L"Language")->GetIntAttribute(L"n", 0), -5);
}

TEST(XmlNodeWrite, SaveWithoutPathNeedsAFile) {
    XmlNode root;
    ASSERT_TRUE(root.LoadXml(L"<User/>"));
    EXPECT_FALSE(root.Save(L""));
    TempFolder dir;
    EXPECT_TRUE(root.Save(dir / L"out.xml"));
    EXPECT_TRUE(FileExists(dir / L"out.xml"));
}

} // namespace

// The same declarations read from a file (the settings files the user's own
// programs may write) load or fail, but never bring the process down.
TEST(XmlNodeLoad, OverlongDeclarationValuesInFilesAreRefused) {
    TempFolder dir;
    const std::string nines(40, '9');
    WriteBytes(dir / L"long.xml", "<?xml version=\"1." + nines + "\"?><r/>");
    std::string utf16 = "\xFF\xFE";
    for (char c : "<?xml version='1." + nines + "'?><r/>")
        utf16 += std::string{c, '\0'};
    WriteBytes(dir / L"long16.xml", utf16);
    WriteBytes(dir / L"plain.xml", "<?xml version=\"1.0\" encoding=\"gbk\"?><r/>");
    XmlNode node;
    EXPECT_FALSE(node.LoadFile(dir / L"long.xml"));
    EXPECT_FALSE(node.LoadFile(dir / L"long16.xml"));
    ASSERT_TRUE(node.LoadFile(dir / L"plain.xml"));
    EXPECT_EQ(node.GetName(), L"r");
}

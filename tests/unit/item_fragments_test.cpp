#include "config/xml_node.h"
#include "sysconfig/item_fragments.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kCatalogue[] =
    L"<Utility>"
    L"<TrustList><Site id='2001' info='网银 &amp; &quot;主站&quot;' "
    L"url='https://*.bank.example/?a=1&amp;b=&lt;2&gt;'"
    L" action='add'/><Site id='2002' info='二' url='b' action='del'/></TrustList>"
    L"<OpenWindowSite><Site id='5001' info='line&#13;&#10;break' url='pop.example' action='add'/>"
    L"</OpenWindowSite>"
    L"<IEOptimizer><Item id='5052' info='刷新' name='Refresh &lt;mode&gt;' "
    L"action='x'/></IEOptimizer>"
    L"<Deep><RootCert><Cert name='Bank &quot;Root&quot;'><Id>3001</Id><info>根证书</info></Cert>"
    L"<Cert><Id>3002</Id><name>Second</name></Cert></RootCert></Deep>"
    L"</Utility>";

class Fragments : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(catalogue.LoadXml(kCatalogue)); }
    XmlNode catalogue;
};

TEST_F(Fragments, TrustListSiteEscapesItsTexts) {
    EXPECT_EQ(TrustListFragment(&catalogue, 2001),
              L"<site id=\"2001\" FileType=\"2\" info=\"网银 &amp; &quot;主站&quot;\" "
              L"url=\"https://*.bank.example/?a=1&amp;b=&lt;2&gt;\" Oper=\"add\"></site>\n");
    EXPECT_EQ(TrustListFragment(&catalogue, 2002),
              L"<site id=\"2002\" FileType=\"2\" info=\"二\" url=\"b\" Oper=\"del\"></site>\n");
}

TEST_F(Fragments, PopupAndOptimizerSitesCarryTheCallersTexts) {
    EXPECT_EQ(PopupSiteFragment(&catalogue, 5001, L"T\"1"),
              L"<site id=\"5001\" strType=\"T&quot;1\" FileType=\"5\" "
              L"info=\"line&#13;&#10;break\"></site>\n");
    EXPECT_EQ(OptimizerFragment(&catalogue, 5052, L"opt", L"1"),
              L"<site id=\"5052\" Type=\"opt\" falg=\"1\" FileType=\"5\" "
              L"name=\"Refresh &lt;mode&gt;\" info=\"刷新\"></site>\n");
}

TEST_F(Fragments, CertificateFromAttributesOrChildrenWithoutLineFeed) {
    EXPECT_EQ(CertFragment(&catalogue, 3001, L"cert", L"0"),
              L"<cert id=\"3001\" Type=\"cert\" falg=\"0\" FileType=\"3\" "
              L"name=\"Bank &quot;Root&quot;\" info=\"根证书\"></cert>");
    EXPECT_EQ(CertFragment(&catalogue, 3002, L"", L""),
              L"<cert id=\"3002\" Type=\"\" falg=\"\" FileType=\"3\" name=\"Second\" "
              L"info=\"\"></cert>");
}

TEST_F(Fragments, NoEntryNoListOrNoCatalogueGiveNothing) {
    EXPECT_EQ(TrustListFragment(&catalogue, 2003), L"");
    EXPECT_EQ(TrustListFragment(&catalogue, 5001), L""); // entries of another list
    EXPECT_EQ(PopupSiteFragment(&catalogue, 2001, L"t"), L"");
    EXPECT_EQ(OptimizerFragment(&catalogue, 5051, L"t", L"f"), L"");
    EXPECT_EQ(CertFragment(&catalogue, 3003, L"t", L"f"), L"");
    EXPECT_EQ(TrustListFragment(nullptr, 2001), L"");
    EXPECT_EQ(CertFragment(nullptr, 3001, L"t", L"f"), L"");
    XmlNode empty;
    ASSERT_TRUE(empty.LoadXml(L"<Utility/>"));
    EXPECT_EQ(PopupSiteFragment(&empty, 5001, L"t"), L"");
}

} // namespace

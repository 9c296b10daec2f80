#include "sysconfig/root_certificates.h"

#include "common/page_messages.h"
#include "common/text.h"
#include "config/catalogue.h"
#include "sysconfig/root_cert_entries.h"
#include "tests/unit/sysconfig_support.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<BYTE>;

TEST(CertificateBlob, SeparatorsAndWhiteSpace) {
    EXPECT_EQ(DecodeCertificateBlob(L"30,82,\n 01"), (Bytes{0x30, 0x82, 0x01}));
    EXPECT_EQ(DecodeCertificateBlob(L" 3 0 ,\t8\r\n2,0\r1\n"), (Bytes{0x30, 0x82, 0x01}));
    EXPECT_EQ(DecodeCertificateBlob(L"ff,Ab,0"), (Bytes{0xFF, 0xAB, 0x00}));
}

TEST(CertificateBlob, EmptyPiecesGiveNoBytes) {
    EXPECT_EQ(DecodeCertificateBlob(L""), Bytes{});
    EXPECT_EQ(DecodeCertificateBlob(L" \r\n"), Bytes{});
    EXPECT_EQ(DecodeCertificateBlob(L",,,"), Bytes{});
    EXPECT_EQ(DecodeCertificateBlob(L"30,,82,"), (Bytes{0x30, 0x82}));
    EXPECT_EQ(DecodeCertificateBlob(L",01"), (Bytes{0x01}));
}

TEST(CertificateBlob, LongPiecesKeepTheirLowByte) {
    EXPECT_EQ(DecodeCertificateBlob(L"1FF"), (Bytes{0xFF}));
    EXPECT_EQ(DecodeCertificateBlob(L"100"), (Bytes{0x00}));
    // Beyond 32 bits the low byte is still the value's, not a saturated one.
    EXPECT_EQ(DecodeCertificateBlob(L"123456789ABCDEF01"), (Bytes{0x01}));
}

TEST(CertificateBlob, GarbagePiecesReadAsTheHexConversionReadsThem) {
    EXPECT_EQ(DecodeCertificateBlob(L"zz,1g,0x1F,-1,+2,0x,g0"),
              (Bytes{0x00, 0x01, 0x1F, 0xFF, 0x02, 0x00, 0x00}));
    EXPECT_EQ(DecodeCertificateBlob(L"３０"), (Bytes{0x00})); // full-width digits are not hex
}

TEST(CertificateBlob, HugeTextDecodesEveryPiece) {
    std::wstring data;
    for (int i = 0; i < 200000; ++i)
        data += FormatW(L"%x,\r\n", i & 0xFF);
    Bytes bytes = DecodeCertificateBlob(data);
    ASSERT_EQ(bytes.size(), 200000u);
    EXPECT_EQ(bytes[0x1234], 0x34);
}

const wchar_t kStore[] = L"Software\\Zelmor\\UnitTests\\CertStore";

std::wstring Catalogue(const std::wstring& root, const std::wstring& key,
                       const std::wstring& subKey, const std::wstring& data) {
    return L"<Utility><RootCert><Cert><Id>3001</Id><Root>" + root + L"</Root><Key>" + key +
           L"</Key><SubKey>" + subKey + L"</SubKey><Data>" + data +
           L"</Data></Cert></RootCert></Utility>";
}

class RootCertInstall : public testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Zelmor\\UnitTests");
        CreateRegKey(HKEY_CURRENT_USER, kStore);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Zelmor\\UnitTests"); }

    // Installs 3001 from the catalogue; the lParam posted.
    // What the page is told of the certificate: installed or not.
    LPARAM Install(const std::wstring& catalogue, int id = 3001) {
        CatalogueSnapshot snapshot = XmlNode::ParseFrozen(catalogue);
        return RootCertificates(trace).InstallRootCert(snapshot.get(), id) ? kReportSuccess
                                                                           : kReportFailure;
    }
    std::optional<RawValue> Blob(const std::wstring& subKey) {
        return ReadRawValue(HKEY_CURRENT_USER, std::wstring(kStore) + L"\\" + subKey, L"Blob");
    }
    bool StoreHasSubKeys() {
        RegKey store = OpenRegKey(HKEY_CURRENT_USER, kStore);
        DWORD count = 0;
        RegQueryInfoKeyW(store.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        return count != 0;
    }

    RecordingTraceSink trace;
};

TEST_F(RootCertInstall, WritesTheDecodedBytesAndReportsInstalled) {
    std::wstring catalogue = Catalogue(L"HKEY_CURRENT_USER", kStore, L"ABCD", L"30,82,\n 01");
    EXPECT_EQ(Install(catalogue), kReportSuccess);
    EXPECT_EQ(Blob(L"ABCD"), (RawValue{REG_BINARY, {0x30, 0x82, 0x01}}));
    EXPECT_EQ(trace.Lines(), (std::vector<std::wstring>{L"文件号：3001 成功事件：证书写入成功",
                                                        L"文件号：3001检测事件：证书已成功写入"}));
    // Installed again over the existing key: rewritten, reported installed.
    catalogue = Catalogue(L"HKEY_CURRENT_USER", kStore, L"ABCD", L"1FF");
    EXPECT_EQ(Install(catalogue), kReportSuccess);
    EXPECT_EQ(Blob(L"ABCD"), (RawValue{REG_BINARY, {0xFF}}));
}

TEST_F(RootCertInstall, RefusedEntriesWriteNothingAndReportNotInstalled) {
    struct Case {
        const wchar_t* root;
        std::wstring key;
        const wchar_t* subKey;
        const wchar_t* data;
    };
    const Case cases[] = {
        {L"hkey_current_user", kStore, L"ABCD", L"30"}, // root names regard case
        {L"HKEY_CURRENT_USER", std::wstring(kStore) + L"\\No", L"ABCD", L"30"}, // store missing
        {L"HKEY_CURRENT_USER", kStore, L"", L"30"},       // would be the store itself
        {L"HKEY_CURRENT_USER", kStore, L"A\\B", L"30"},   // not one name
        {L"HKEY_CURRENT_USER", kStore, L"ABCD", L" , ,"}, // no bytes at all
        {L"HKEY_CURRENT_USER", L"", L"ABCD", L"30"},      // the root itself
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << ToCodePage(c.key + L"|" + c.subKey, CP_UTF8));
        trace.Take();
        EXPECT_EQ(Install(Catalogue(c.root, c.key, c.subKey, c.data)), kReportFailure);
        EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{L"文件号：3001检测事件：证书写入失败"});
        EXPECT_FALSE(StoreHasSubKeys());
    }
    EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, std::wstring(kStore) + L"\\No"));
    EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, L"ABCD"));
}

TEST_F(RootCertInstall, UnknownIdOrUnreadableCatalogueReportsNotInstalled) {
    std::wstring catalogue = Catalogue(L"HKEY_CURRENT_USER", kStore, L"ABCD", L"30");
    EXPECT_EQ(Install(catalogue, 3002), kReportFailure);
    EXPECT_EQ(Install(L"<Utility><RootCert>", 3001), kReportFailure);
    EXPECT_EQ(Install(L"", 3001), kReportFailure);
    EXPECT_FALSE(StoreHasSubKeys());
}

TEST_F(RootCertInstall, StatusFollowsTheCertificateKey) {
    std::wstring catalogue = Catalogue(L"HKEY_CURRENT_USER", kStore, L"ABCD", L"30");
    CatalogueSnapshot snapshot = XmlNode::ParseFrozen(catalogue);
    EXPECT_EQ(RootCertStatusIn(snapshot.get(), 3001), 4);
    RootCertificates(trace).InstallRootCert(snapshot.get(), 3001);
    EXPECT_EQ(RootCertStatusIn(snapshot.get(), 3001), 3);
    EXPECT_EQ(RootCertStatusIn(snapshot.get(), 3002), 0);
}

} // namespace

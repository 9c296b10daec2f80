#include "tests/fuzz/targets.h"

#include "common/pe_image.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "common/trace_sink.h"
#include "config/bank_links.h"
#include "config/catalogue.h"
#include "config/component_lists.h"
#include "config/config_set.h"
#include "config/crypto.h"
#include "config/text_decoding.h"
#include "config/xml_node.h"
#include "envcheck/diagnosis_report.h"
#include "envcheck/os_version.h"
#include "envcheck/patch_check.h"
#include "envcheck/version_compare.h"
#include "install/cab_package.h"
#include "install/http_fetch.h"
#include "sysconfig/item_fragments.h"
#include "sysconfig/root_cert_entries.h"
#include "sysconfig/root_certificates.h"
#include "tools/packer/packer_core.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

void Check(bool holds, const std::string& what) {
    if (!holds)
        throw InvariantBroken(what);
}

Bytes ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + ToCodePage(path, CP_UTF8));
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lists and fragments the control hands to the page are XML the page parses:
// whatever the input held, they must parse again.
void CheckParses(const std::wstring& text, const char* what) {
    XmlNode node;
    Check(node.LoadXml(text), std::string(what) + " does not parse as XML");
}

// Item ids at the edges of their classes' ranges.
const std::vector<Bytes> kIdTokens = {"999",  "1000", "1999", "2000", "2999", "3000", "3999",
                                      "4000", "4999", "5000", "5049", "5050", "5055", "-1"};

const std::vector<Bytes> kXmlTokens = {"<",
                                       ">",
                                       "</",
                                       "/>",
                                       "=\"",
                                       "\"",
                                       "='",
                                       "'",
                                       " ",
                                       "<?xml version=\"1.0\"?>",
                                       "<?xml version=\"1.0\" encoding=\"utf-16\"?>",
                                       "<?xml version=\"1.0\" encoding=\"gbk\"?>",
                                       "<!DOCTYPE r [<!ENTITY a \"&#38;#60;\">]>",
                                       "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">",
                                       "&a;",
                                       "&b;",
                                       "<![CDATA[x]]>",
                                       "<?pi x?>",
                                       "<!-- c -->",
                                       "xmlns=\"urn:x\"",
                                       "xmlns:p=\"urn:p\"",
                                       "p:",
                                       "&#x9;",
                                       "&#10;",
                                       "&#13;",
                                       "&#34;",
                                       "&#60;",
                                       "&#1;"};

std::vector<Bytes> WithXml(std::vector<Bytes> tokens, bool ids = false) {
    tokens.insert(tokens.end(), kXmlTokens.begin(), kXmlTokens.end());
    if (ids)
        tokens.insert(tokens.end(), kIdTokens.begin(), kIdTokens.end());
    return tokens;
}

// Every element below `node`, depth first; the mirror must stop at its limit.
void WalkTree(const XmlNode& node, int depth) {
    Check(depth <= XmlNode::kDeepestMirroredLevel, "an element is mirrored below the depth limit");
    node.GetName();
    node.GetText();
    for (const wchar_t* name : {L"id", L"name", L"value", L"falg", L"Type", L"url", L""}) {
        node.GetAttribute(name, L"-");
        node.GetIntAttribute(name, -1);
        node.GetBoolAttribute(name, false);
    }
    for (const auto& child : node.Children())
        WalkTree(*child, depth + 1);
}

// --- encrypted configuration files ---------------------------------------------

class CryptoFileTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "crypto_file"; }
    const char* Reads() const override {
        return "an encrypted configuration file: split, RSA key block, RC4 body, text "
               "decoding, then its FileVersion";
    }
    std::vector<Bytes> Dictionary() const override {
        return {"0",
                "00",
                "FF",
                "ff",
                std::string("\0\0\0\0", 4),
                "\x80\0\0\0",
                "\xFF\xFF\xFF\xFF",
                "\xEF\xBB\xBF",
                "\xFF\xFE"};
    }
    void Prepare(const FuzzPaths& paths) override {
        crypto_ = std::make_unique<CDravikCrypto>(ParsePublicKeyFile(ReadFileBytes(paths.keyFile)));
    }
    void Run(const Bytes& input) override {
        if (std::optional<EncryptedFileParts> parts = SplitEncryptedFile(input)) {
            Check(4 + parts->keyBlock.size() + parts->body.size() == input.size(),
                  "the key block and body do not make up the file");
        }
        if (std::optional<std::wstring> text = crypto_->DecryptBuffer(input, 936))
            FileVersionFromText(*text);
    }

private:
    std::unique_ptr<CDravikCrypto> crypto_;
};

class TextDecodingTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "text_decoding"; }
    const char* Reads() const override {
        return "a decrypted body: byte-order marks, UTF-16, code pages 936 and 1252";
    }
    void Run(const Bytes& input) override {
        bool utf8 = input.starts_with("\xEF\xBB\xBF");
        for (unsigned codePage : {936u, 1252u, static_cast<unsigned>(CP_UTF8)}) {
            std::wstring text = DecodeConfigText(input, codePage);
            // UTF-16 bodies and ANSI texts end at their first zero.
            if (!utf8)
                Check(text.find(L'\0') == std::wstring::npos, "a decoded text holds a NUL");
        }
    }
};

// --- XML lists from the page and the server ------------------------------------

class XmlNodeTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "xml_node"; }
    const char* Reads() const override {
        return "XmlNode::LoadXml and every walk: names, texts, attributes, descendants, "
               "FileVersion";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<FileVersion value=\"", "<list>", "</list>", "<item id=\"1\"/>"});
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        XmlNode root;
        if (root.LoadXml(text)) {
            WalkTree(root, 0);
            root.FindDescendant(L"item");
            root.FindChildOrSelf(L"list")->ChildCount();
            root.AddChild(text.substr(0, 16));
            root.SetAttribute(text.substr(0, 8), text);
            // A second load over a loaded node replaces what it held.
            Check(root.LoadXml(text), "a text that parsed once does not parse again");
            WalkTree(root, 0);
        }
        FileVersionFromText(text);
    }
};

// The catalogue the page-list targets read against: the sample bank's.
std::wstring SampleCatalogue(const FuzzPaths& paths) {
    return WideFromInput(ReadFileBytes(paths.seeds + L"catalogue\\utility_chs.xml"));
}

// The control's hooks, with fixed statuses where it would look at the PC.
ListHooks CatalogueHooks() {
    return ListHooksWithFragments(
        [](const XmlNode*, int) { return 3; },
        [](const XmlNode*, int id) { return id % 2 ? 1 : 3; }); // odd ids need installing
}

std::wstring Chinese() {
    return L"chs";
}

class DownloadListTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "download_list"; }
    const char* Reads() const override {
        return "the page's list: SetDownLoadList, then GetDownLoadList and GetStatuByXML over "
               "the sample catalogue";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<list>", "</list>", "<Update>", "</Update>", "<item", " id=\"",
                        " falg=\"true\"", " falg=\"TRUE\"", " Type=\"", "1001", "1003", "2001",
                        "3001", "4001", "4002", "5001", "5051"},
                       true);
    }
    void Prepare(const FuzzPaths& paths) override {
        texts_.Set(ConfigText::Chinese, SampleCatalogue(paths));
    }
    void Run(const Bytes& input) override {
        // The catalogue stays parsed between calls, as in the control.
        ComponentLists lists(catalogue_.Source(), CatalogueHooks(), [] { return UserType{}; });
        lists.SetDownLoadList(WideFromInput(input));
        std::wstring download = lists.GetDownLoadList();
        if (!download.empty())
            CheckParses(download, "GetDownLoadList's list");
        std::wstring statuses = lists.GetStatuByXML();
        if (!statuses.empty())
            CheckParses(statuses, "GetStatuByXML's list");
    }

private:
    ConfigurationTexts texts_;
    CatalogueCache catalogue_{texts_, Chinese};
};

class BatchIdsTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "batch_ids"; }
    const char* Reads() const override { return "a download batch list (ParseBatchIds)"; }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<list>", "</list>", "<i id=\"", "\"/>", "-4", "1001"}, true);
    }
    void Run(const Bytes& input) override { ParseBatchIds(WideFromInput(input)); }
};

// The ids each catalogue section names, for a list that selects them all.
std::wstring ListOfCatalogueIds(const XmlNode& catalogue) {
    std::wstring list = L"<list>";
    int count = 0;
    for (const wchar_t* section :
         {L"Control", L"Application", L"TrustList", L"OpenWindowSite", L"IEOptimizer"}) {
        const XmlNode* items = catalogue.FindChild(section);
        for (size_t i = 0; items && i < items->ChildCount() && count < 64; ++i, ++count)
            list += L"<i id='" + FormatW(L"%d", items->Child(i)->GetIntAttribute(L"id", 0)) +
                    L"' falg='true'/>";
    }
    return list + L"<i id='3001' falg='true'/></list>";
}

class CatalogueTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "catalogue"; }
    const char* Reads() const override {
        return "the server's catalogue (utility list): the three item lists, item fragments, "
               "certificate entries and their blobs";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<Utility>",
                        "<Control>",
                        "<Application>",
                        "<TrustList>",
                        "<OpenWindowSite>",
                        "<IEOptimizer>",
                        "<RootCert>",
                        "<client>",
                        "<kind type=\"0\" Cert=\"1\" UType=\"0\">",
                        "<item",
                        " value=\"",
                        " id=\"",
                        " name=\"",
                        " info=\"",
                        " url=\"",
                        " action=\"",
                        "<cert>",
                        "<Id>3001</Id>",
                        "<Root>HKEY_CURRENT_USER</Root>",
                        "<Key>",
                        "<SubKey>",
                        "<Data>",
                        "</Data>",
                        "0x",
                        ",",
                        "1001",
                        "2001",
                        "3001",
                        "4001",
                        "5001",
                        "5051"},
                       true);
    }
    void Run(const Bytes& input) override {
        ConfigurationTexts texts;
        std::wstring text = WideFromInput(input);
        texts.Set(ConfigText::Chinese, text);
        // Parsed into the frozen tree every reader of the control shares.
        CatalogueCache catalogue(texts, Chinese);
        UserType user{0, 1, 0};
        ComponentLists lists(catalogue.Source(), CatalogueHooks(), [&] { return user; });

        XmlNode parsed;
        std::wstring selection = parsed.LoadXml(text) ? ListOfCatalogueIds(parsed)
                                                      : L"<list><i id='1001' falg='true'/></list>";
        lists.SetDownLoadList(selection);
        CheckParses(lists.GetDownLoadList(), "GetDownLoadList's list");
        lists.SetDownLoadList(L"<Update>" + ReplaceAll(selection, L"<i ", L"<i Type='t&quot;' ") +
                              L"</Update>");
        CheckParses(lists.GetStatuByXML(), "GetStatuByXML's list");
        for (UserType kind : {UserType{0, 1, 0}, UserType{1, 2, 0}}) {
            user = kind;
            CheckParses(lists.GetSysInfoList(), "GetSysInfoList's list");
        }
        lists.StatusOf(3001);

        // Certificates: every entry the list holds, as the installer reads it.
        if (const XmlNode* certs =
                parsed.IsAttached() ? parsed.FindDescendant(L"RootCert") : nullptr) {
            for (size_t i = 0; i < certs->ChildCount() && i < 16; ++i) {
                const XmlNode* idNode = certs->Child(i)->FindChild(L"Id");
                int id = idNode ? _wtoi(idNode->GetText().c_str()) : 0;
                if (auto entry = FindCertificate(&parsed, id, CertListLookup::Descendant))
                    DecodeCertificateBlob(entry->data);
                RootCertStatusIn(&parsed, id);
            }
        }
    }
};

class BankLinksTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "bank_links"; }
    const char* Reads() const override {
        return "the resource text's web sites and dynamic links (FormatBankLinks, "
               "FormatDynamicLink)";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<Resource>", "<websites>", "<dynamiclink>", "<chs>", "<eng>", "<site",
                        " id=\"", " filename=\"", " url=\"", "help/chs/index.html"});
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        for (const wchar_t* language : {L"chs", L"eng", L""}) {
            std::wstring links = FormatBankLinks(text, language);
            if (!links.empty())
                CheckParses(links, "FormatBankLinks' list");
            std::wstring link = FormatDynamicLink(text, language, L"https://bank.example/");
            Check(link.empty() || link.starts_with(L"https://bank.example/"),
                  "a dynamic link does not start with the root address");
        }
    }
};

class DiagnosisTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "diagnosis"; }
    const char* Reads() const override {
        return "the resource text's check list (ReadCheckList) and the item and result lists";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<Resource>", "<examine>", "</examine>", "<chs>", "<eng>", "<item",
                        " id=\"", " name=\"", " statue=\"0\""});
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        for (const wchar_t* language : {L"chs", L"eng"}) {
            CheckList list = ReadCheckList(text, language);
            CheckListRoundTrip(ItemListText(list.items), list.items, true);
            CheckListRoundTrip(ResultListText(list.items), list.items, false);
        }
    }

private:
    // The page reads each item's id (and name) back out of the list.
    static void CheckListRoundTrip(const std::wstring& fragment,
                                   const std::vector<CheckItem>& items, bool named) {
        XmlNode list;
        Check(list.LoadXml(L"<r>" + fragment + L"</r>"), "a diagnosis list does not parse as XML");
        Check(list.ChildCount() == items.size(), "a diagnosis list has another number of items");
        for (size_t i = 0; i < items.size(); ++i) {
            Check(list.Child(i)->GetAttribute(L"id", L"") == items[i].id,
                  "a diagnosis item's id does not read back");
            if (named)
                Check(list.Child(i)->GetAttribute(L"name", L"") == items[i].name,
                      "a diagnosis item's name does not read back");
        }
    }
};

class PatchListTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "patch_list"; }
    const char* Reads() const override {
        return "the patch list (EnvPatch): release codes and missing patches against "
               "installed-update records";
    }
    std::vector<Bytes> Dictionary() const override {
        return WithXml({"<EnvPatch>",
                        "<window>",
                        "<ie>",
                        "<language>",
                        "<files>",
                        "<patch",
                        "<condition",
                        "<release",
                        " remark=\"",
                        " sub=\"",
                        " sp=\"",
                        " value=\"",
                        " win=\"",
                        " ie=\"",
                        " lan=\"",
                        " url=\"",
                        " kbArticles=\"",
                        " secId=\"",
                        " title=\"",
                        " default=\"true\"",
                        " default_url=\"",
                        " subject_cn=\"",
                        " desc_en=\"",
                        "Microsoft Windows XP",
                        "Professional",
                        "Service Pack 3",
                        "xp3",
                        "ie8",
                        "cn",
                        "958644",
                        "MS11-003"});
    }
    void Run(const Bytes& input) override {
        XmlNode list;
        if (!list.LoadXml(WideFromInput(input)))
            return;
        PatchEnvironment xp{
            {L"Microsoft Windows XP", L"Professional", L"Service Pack 3"}, L"6", 2, L"chs"};
        PatchEnvironment seven{{L"Windows 7", L"Professional", L"Service Pack 1"}, L"8", 0, L"eng"};
        PatchEnvironment bare;
        const std::vector<InstalledUpdate> none;
        const std::vector<InstalledUpdate> some = {
            {L"Update for Root Certificates", L"", L"", L"", L""},
            {L"", L"Critical", L"MS11-003", L"", L""},
            {L"", L"", L"", L"958644", L""},
            {L"", L"", L"", L"", L""}};
        for (const PatchEnvironment* env : {&xp, &seven, &bare}) {
            MatchReleaseCodes(list, *env);
            CheckParses(MissingPatchesText(list, *env, none), "the missing-patch list");
            CheckParses(MissingPatchesText(list, *env, some), "the missing-patch list");
        }
    }
};

// --- cabinets, certificates, versions, paths -------------------------------------

class InfTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "inf"; }
    const char* Reads() const override {
        return "a cabinet's .inf file: the Add.Code section text and CCabPackage::ReadInf on "
               "the file";
    }
    std::vector<Bytes> Dictionary() const override {
        return {"[Add.Code]\r\n",
                "[",
                "]",
                "\r\n",
                "=",
                ";",
                "RegisterServer=yes",
                "destdir=10",
                "destdir=11",
                "file-win32-x86=thiscab",
                "SampleCab.dll",
                "..\\x.dll",
                "a/b",
                "C:\\x",
                "nul",
                "\xFF\xFE",
                "\"",
                "%",
                "%11%"};
    }
    void Prepare(const FuzzPaths& paths) override {
        extraction_ = paths.scratch + L"cab\\";
        CreateDirectoryW(extraction_.c_str(), nullptr);
        infPath_ = extraction_ + L"fuzz.inf";
    }
    void Run(const Bytes& input) override {
        // As GetPrivateProfileSectionW hands a section over: NUL-separated lines.
        std::wstring section = WideFromInput(input);
        for (wchar_t& c : section) {
            if (c == L'\n')
                c = L'\0';
        }
        for (const std::wstring& name : AddCodeFileNames(section))
            Check(name.find(L'\0') == std::wstring::npos, "an Add.Code name holds a NUL");

        HANDLE file = CreateFileW(infPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot write the .inf file");
        DWORD written = 0;
        WriteFile(file, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        CloseHandle(file);
        // The profile functions cache files: flush, so this input is the one read.
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, infPath_.c_str());

        CCabPackage package(trace_, CabinetFolders{L"C:\\sys\\", L"C:\\win\\"});
        InfFile inf = package.ReadInf(infPath_, extraction_);
        for (const InfEntry& entry : inf.entries) {
            std::wstring name =
                entry.source.substr(std::min(entry.source.size(), extraction_.size()));
            Check(entry.source.starts_with(extraction_) && IsSafeFileName(name),
                  "an .inf entry's source leaves the extraction folder");
            Check(entry.destination == L"C:\\sys\\" + name ||
                      entry.destination == L"C:\\win\\" + name,
                  "an .inf entry's destination leaves the system and Windows folders");
        }
    }

private:
    NullTraceSink trace_;
    std::wstring extraction_;
    std::wstring infPath_;
};

class CertBlobTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "cert_blob"; }
    const char* Reads() const override {
        return "a certificate's Data text (DecodeCertificateBlob)";
    }
    std::vector<Bytes> Dictionary() const override {
        return {",",   ",,",   "0x",   "0X", "-",  "+",    "ff",
                "FF",  "0x30", "0x82", " ",  "\t", "\r\n", "ffffffffffffffffffff",
                "-0x1"};
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        std::vector<BYTE> bytes = DecodeCertificateBlob(text);
        size_t pieces = std::count(text.begin(), text.end(), L',') + 1;
        Check(bytes.size() <= pieces, "a blob has more bytes than pieces");
    }
};

class VersionTextTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "version_text"; }
    const char* Reads() const override {
        return "version texts (ParseVersionText, IsVersionLower), a Content-Length value, and "
               "the Windows naming over a version record with these texts";
    }
    std::vector<Bytes> Dictionary() const override {
        return {".",
                "..",
                "1.0.0.1",
                "6.0.2800.1106",
                " ",
                "\t",
                "Service Pack 3",
                "Service Pack 6",
                "Service Pack ",
                "WINNT",
                "LANMANNT",
                "SERVERNT",
                " C",
                " A"};
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        size_t cut = text.find(L'\n');
        std::wstring a = text.substr(0, cut);
        std::wstring b = cut == std::wstring::npos ? std::wstring() : text.substr(cut + 1);

        ParseVersionText(a);
        Check(IsVersionLower(a, a) == 0, "a version is lower than itself");
        Check(!(IsVersionLower(a, b) && IsVersionLower(b, a)),
              "two versions are lower than each other");

        if (std::optional<std::uint64_t> length = ParseContentLength(a)) {
            std::wstring digits = a.substr(a.find_first_not_of(L" \t"));
            digits = digits.substr(0, digits.find_last_not_of(L" \t") + 1);
            size_t first = digits.find_first_not_of(L'0');
            digits = first == std::wstring::npos ? L"0" : digits.substr(first);
            Check(FormatW(L"%llu", *length) == digits,
                  "a Content-Length is read as another number");
        }

        OsVersionRecord record;
        auto byte = [&](size_t i) {
            return i < input.size() ? static_cast<uint8_t>(input[i]) : 0u;
        };
        static const unsigned kMinors[] = {0, 1, 2, 10, 90};
        static const unsigned kArchitectures[] = {0, 6, 9};
        record.platformId = byte(0) % 4;
        record.major = byte(1) % 8;
        record.minor = kMinors[byte(2) % 5];
        record.productType = byte(3) % 4;
        record.suiteMask = byte(4) | (byte(5) << 8);
        record.extended = (byte(6) & 1) != 0;
        record.servicePack = a;
        OsEnvironment env;
        env.processorArchitecture = kArchitectures[byte(7) % 3];
        env.serverR2Metric = byte(8) & 1;
        env.ntHotfixQ246009 = (byte(9) & 1) != 0;
        if (!b.empty())
            env.productTypeValue = b;
        OsDescription description;
        DescribeOs(record, env, description);
        FormatSystemVersion(description);
        FormatFullSystemVersion(description);
    }
};

// The path Windows makes of a text: the oracle for the path rules.
std::wstring FullPath(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(length < full.size() ? length : 0);
    return full;
}

class SafePathTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "safe_path"; }
    const char* Reads() const override {
        return "names and paths from lists (IsSafeFileName, JoinConfined, IsLocalAbsoluteFolder)";
    }
    std::vector<Bytes> Dictionary() const override {
        return {"..",   ".",       "\\",   "/",        "//",          "\\\\", "C:",       "C:\\",
                "c:/",  "::$DATA", ":",    "CON",      "con.txt",     "COM1", "LPT1.dat", "CONOUT$",
                "nul ", "a.",      "a ",   "*",        "?",           "<",    ">",        "|",
                "\"",   "\x7F",    "\x1F", "\xC2\xB9", "\xEF\xBC\x8E"};
    }
    void Run(const Bytes& input) override {
        std::wstring text = WideFromInput(input);
        const std::wstring folder = L"C:\\Program Files\\Zelmor\\";

        if (IsSafeFileName(text)) {
            Check(text.find_first_of(L"\\/:") == std::wstring::npos && text != L"." &&
                      text != L"..",
                  "a safe file name has a separator, a colon or a dot name");
            std::optional<std::wstring> joined = JoinConfined(folder, text);
            Check(joined && *joined == folder + text, "a safe file name does not join as itself");
        }
        if (std::optional<std::wstring> joined = JoinConfined(folder, text)) {
            Check(joined->starts_with(folder), "a confined path does not start with its folder");
            Check(FullPath(*joined) == *joined,
                  "Windows reads a confined path as another one (a device, a dropped part)");
            std::wstring rest = joined->substr(folder.size());
            size_t start = 0;
            for (size_t i = 0; i <= rest.size(); ++i) {
                if (i == rest.size() || rest[i] == L'\\') {
                    Check(IsSafeFileName(std::wstring_view(rest).substr(start, i - start)),
                          "a confined path holds a component that is not a safe name");
                    start = i + 1;
                }
            }
        }
        if (IsLocalAbsoluteFolder(text)) {
            Check(text.size() >= 3 && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/'),
                  "a local folder does not start with a drive");
            std::wstring full = FullPath(text);
            Check(full.size() >= 3 && EqualsNoCase(full.substr(0, 2), text.substr(0, 2)) &&
                      full[2] == L'\\',
                  "Windows reads a local folder as a path off its drive");
            for (const wchar_t* dots : {L"\\..\\", L"/../", L"\\../", L"/..\\"})
                Check(text.find(dots) == std::wstring::npos, "a local folder climbs up with ..");
        }
    }
};

// Checks the fuzzer itself: each of its seeds fails in one way, so a run must
// report each kind of finding once (run_fuzz.py --self-check). Mutated inputs
// pass: only the exact words fail.
class HarnessCheckTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "harness_check"; }
    const char* Reads() const override {
        return "(not a parser) crash, overflow, abort, hang, throw, broken: one finding each";
    }
    void Run(const Bytes& input) override {
        if (input == "crash")
            *static_cast<volatile int*>(nullptr) = 1;
        if (input == "overflow")
            Recurse(0);
        if (input == "abort")
            std::abort();
        if (input == "hang") {
            for (volatile unsigned spin = 0;;)
                spin = spin + 1;
        }
        if (input == "throw")
            throw std::runtime_error("thrown on purpose");
        Check(input != "broken", "broken on purpose");
    }

private:
    static inline volatile bool deeper_ = true; // hides the endless recursion from the compiler
    static int Recurse(int depth) {
        volatile char frame[4096];
        frame[0] = static_cast<char>(depth);
        return deeper_ ? Recurse(depth + 1) + frame[0] : frame[0];
    }
};

} // namespace

class PeImageTarget final : public FuzzTarget {
public:
    const char* Name() const override { return "pe_image"; }
    const char* Reads() const override {
        return "a module file's headers and export names (DllExportsName), as the installer "
               "reads an old control before it unregisters it";
    }
    std::vector<Bytes> Dictionary() const override {
        return {"MZ",
                Bytes("PE\0\0", 4),
                Bytes("\x0b\x01", 2),
                Bytes("\x0b\x02", 2),
                Bytes("\x4c\x01", 2),
                Bytes("\x64\x86", 2),
                Bytes("\x00\x20", 2),
                "DllUnregisterServer",
                Bytes("DllUnregisterServer\0", 20),
                ".edata",
                ".text",
                Bytes("\xff\xff\xff\xff", 4),
                Bytes("\x00\x00\x00\x80", 4)};
    }
    void Run(const Bytes& input) override {
        const bool exports = DllExportsName(input, "DllUnregisterServer");
        Check(!exports || input.rfind("MZ", 0) == 0, "a file without a DOS header exports a name");
        Check(!exports || input.find("DllUnregisterServer") != Bytes::npos,
              "a name found that the file does not hold");
        DllExportsName(input, "");
    }
};

std::vector<std::unique_ptr<FuzzTarget>> MakeTargets() {
    std::vector<std::unique_ptr<FuzzTarget>> targets;
    targets.push_back(std::make_unique<CryptoFileTarget>());
    targets.push_back(std::make_unique<TextDecodingTarget>());
    targets.push_back(std::make_unique<XmlNodeTarget>());
    targets.push_back(std::make_unique<DownloadListTarget>());
    targets.push_back(std::make_unique<BatchIdsTarget>());
    targets.push_back(std::make_unique<CatalogueTarget>());
    targets.push_back(std::make_unique<BankLinksTarget>());
    targets.push_back(std::make_unique<DiagnosisTarget>());
    targets.push_back(std::make_unique<PatchListTarget>());
    targets.push_back(std::make_unique<InfTarget>());
    targets.push_back(std::make_unique<CertBlobTarget>());
    targets.push_back(std::make_unique<VersionTextTarget>());
    targets.push_back(std::make_unique<SafePathTarget>());
    targets.push_back(std::make_unique<PeImageTarget>());
    targets.push_back(std::make_unique<HarnessCheckTarget>());
    return targets;
}

std::wstring WideFromInput(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    auto continuation = [&](size_t i) { return i < bytes.size() && (at(i) & 0xC0) == 0x80; };
    for (size_t i = 0; i < bytes.size();) {
        uint8_t lead = at(i);
        uint32_t code = lead;
        size_t length = 1;
        if (lead >= 0xC2 && lead <= 0xDF && continuation(i + 1)) {
            code = ((lead & 0x1Fu) << 6) | (at(i + 1) & 0x3Fu);
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF && continuation(i + 1) && continuation(i + 2)) {
            code = ((lead & 0x0Fu) << 12) | ((at(i + 1) & 0x3Fu) << 6) | (at(i + 2) & 0x3Fu);
            length = code >= 0x800 ? 3 : 1;
        } else if (lead >= 0xF0 && lead <= 0xF4 && continuation(i + 1) && continuation(i + 2) &&
                   continuation(i + 3)) {
            code = ((lead & 0x07u) << 18) | ((at(i + 1) & 0x3Fu) << 12) |
                   ((at(i + 2) & 0x3Fu) << 6) | (at(i + 3) & 0x3Fu);
            length = code >= 0x10000 && code <= 0x10FFFF ? 4 : 1;
        }
        if (length == 1)
            code = lead;
        if (code >= 0x10000) {
            code -= 0x10000;
            text.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            text.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            text.push_back(static_cast<wchar_t>(code));
        }
        i += length;
    }
    return text;
}

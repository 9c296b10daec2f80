#include "common/text.h"
#include "sysconfig/browser_settings.h"

#include "config/catalogue.h"
#include "tests/unit/sysconfig_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <stdexcept>

namespace {

const wchar_t kZone2[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";

// One call that reached the managers, with the trusted zone's "Flags" as the
// registry held it at that moment.
struct ZoneCall {
    std::wstring name;
    DWORD zone = 0;
    std::wstring pattern;
    DWORD action = 0; // mapping flags or URL action
    DWORD policy = 0;
    int scope = -1;
    std::optional<RawValue> flags;
    bool operator==(const ZoneCall& other) const {
        return name == other.name && zone == other.zone && pattern == other.pattern &&
               action == other.action && policy == other.policy && scope == other.scope;
    }
};

void PrintTo(const ZoneCall& c, std::ostream* out) {
    *out << ToCodePage(c.name, CP_UTF8) << "(" << c.zone << ", " << ToCodePage(c.pattern, CP_UTF8)
         << ", 0x" << std::hex << c.action << ", " << c.policy << std::dec << ", " << c.scope
         << ")";
}

ZoneCall Mapping(const std::wstring& pattern, DWORD flags) {
    return {L"SetZoneMapping", 2, pattern, flags};
}
ZoneCall Policy(DWORD action, DWORD policy) {
    return {L"SetZoneActionPolicy", 2, L"", action, policy, URLZONEREG_DEFAULT};
}

struct ZoneRecord {
    std::vector<ZoneCall> calls;
    ZONEATTRIBUTES attributes{};  // what GetZoneAttributes answers
    ZONEATTRIBUTES written{};     // what SetZoneAttributes was given
    HRESULT getAttributes = S_OK; // the answer of GetZoneAttributes
    HRESULT lowRights = S_OK;     // the answer for URLACTION_LOWRIGHTS
    HRESULT mapping = S_OK;       // the answer of SetZoneMapping
    bool throwOnMapping = false;
    int created = 0;
};

class RecordingManagers final : public ZoneManagers {
public:
    explicit RecordingManagers(std::shared_ptr<ZoneRecord> record) : record_(std::move(record)) {}

    HRESULT SetZoneMapping(DWORD zone, const std::wstring& pattern, DWORD flags) override {
        Record({L"SetZoneMapping", zone, pattern, flags});
        if (record_->throwOnMapping)
            throw std::runtime_error("mapping");
        return record_->mapping;
    }
    HRESULT GetZoneAttributes(DWORD zone, ZONEATTRIBUTES& attributes) override {
        Record({L"GetZoneAttributes", zone});
        EXPECT_EQ(attributes.cbSize, sizeof(ZONEATTRIBUTES));
        attributes = record_->attributes;
        return record_->getAttributes;
    }
    HRESULT SetZoneAttributes(DWORD zone, const ZONEATTRIBUTES& attributes) override {
        Record({L"SetZoneAttributes", zone});
        record_->written = attributes;
        return S_OK;
    }
    HRESULT SetZoneActionPolicy(DWORD zone, DWORD action, DWORD policy, URLZONEREG scope) override {
        Record({L"SetZoneActionPolicy", zone, L"", action, policy, scope});
        return action == URLACTION_LOWRIGHTS ? record_->lowRights : E_NOTIMPL;
    }

private:
    void Record(ZoneCall call) {
        call.flags = ReadRawValue(HKEY_CURRENT_USER, kZone2, L"Flags");
        record_->calls.push_back(std::move(call));
    }
    std::shared_ptr<ZoneRecord> record_;
};

// The settings with a catalogue snapshot, as an item's work hands them one.
struct SettingsOn {
    BrowserSettings settings;
    CatalogueSnapshot catalogue;
    BOOL ApplyTrustList() const { return settings.ApplyTrustList(catalogue.get()); }
    BOOL ApplyTrustedZonePolicies() const { return settings.ApplyTrustedZonePolicies(); }
    BOOL SetTrustedSite(const std::wstring& pattern, const std::wstring& action) const {
        return settings.SetTrustedSite(pattern, action);
    }
};

class BrowserZones : public testing::Test {
protected:
    SettingsOn Settings(const std::wstring& catalogue, MajorVersions versions = {6, 8}) {
        auto record = record_;
        return SettingsOn{BrowserSettings(
                              trace, [versions] { return versions; },
                              [record] {
                                  ++record->created;
                                  return std::make_unique<RecordingManagers>(record);
                              }),
                          XmlNode::ParseFrozen(catalogue)};
    }
    const std::vector<ZoneCall>& calls() const { return record_->calls; }
    ZoneRecord& record() { return *record_; }
    std::optional<RawValue> Flags() { return ReadRawValue(HKEY_CURRENT_USER, kZone2, L"Flags"); }
    void SetFlags(const std::optional<RawValue>& value) {
        WriteRawValue(HKEY_CURRENT_USER, kZone2, L"Flags", value);
    }

    PreservedValue preserved{HKEY_CURRENT_USER, kZone2, L"Flags"};
    RecordingTraceSink trace;
    std::shared_ptr<ZoneRecord> record_ = std::make_shared<ZoneRecord>();
};

const wchar_t kTrustedSiteLine[] = L" 成功事件：信任站点修改成功";

TEST_F(BrowserZones, TrustListMapsEachSiteWithFlagsLoweredMeanwhile) {
    SetFlags(DwordValue(0x47));
    SettingsOn settings = Settings(L"<Utility><TrustList>"
                                   L"<Site id='2001' url='http://*.bank.example' action='add'/>"
                                   L"<Site id='2002' url='https://a.example' action='Add'/>"
                                   L"<Site id='2003' url='b.example' action='del'/>"
                                   L"<Site id='2004' url='c.example'/>"
                                   L"</TrustList></Utility>");
    EXPECT_EQ(settings.ApplyTrustList(), TRUE);
    EXPECT_EQ(calls(), (std::vector<ZoneCall>{Mapping(L"http://*.bank.example", SZM_CREATE),
                                              Mapping(L"https://a.example", SZM_DELETE),
                                              Mapping(L"b.example", SZM_DELETE),
                                              Mapping(L"c.example", SZM_DELETE)}));
    for (const ZoneCall& call : calls())
        EXPECT_EQ(call.flags, DwordValue(0x43));
    EXPECT_EQ(record().created, 4); // one security manager per site
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>(4, kTrustedSiteLine));
    EXPECT_EQ(Flags(), DwordValue(0x47));
}

TEST_F(BrowserZones, FlagsComeBackExactlyOnEveryPath) {
    // Missing before: missing after.
    SetFlags(std::nullopt);
    record().mapping = E_NOTIMPL; // a refused mapping is traced all the same
    EXPECT_EQ(Settings(L"").SetTrustedSite(L"x.example", L"add"), FALSE);
    EXPECT_EQ(calls().back().flags, DwordValue(0x43));
    EXPECT_EQ(Flags(), std::nullopt);
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{kTrustedSiteLine});

    // Another type and size: put back byte for byte.
    RawValue odd{REG_BINARY, {1, 2, 3, 4, 5, 6}};
    SetFlags(odd);
    record().mapping = S_OK;
    EXPECT_EQ(Settings(L"").SetTrustedSite(L"x.example", L"add"), TRUE);
    EXPECT_EQ(Flags(), odd);

    // A manager that throws.
    SetFlags(DwordValue(0x47));
    record().throwOnMapping = true;
    EXPECT_THROW(Settings(L"").SetTrustedSite(L"x.example", L"add"), std::runtime_error);
    EXPECT_EQ(Flags(), DwordValue(0x47));
}

TEST_F(BrowserZones, ListsThatAreMissingEmptyOrUnreadableChangeNothing) {
    SetFlags(DwordValue(0x47));
    EXPECT_EQ(Settings(L"<Utility><TrustList/></Utility>").ApplyTrustList(), TRUE);
    EXPECT_EQ(Settings(L"<Utility><OpenWindowSite/></Utility>").ApplyTrustList(), FALSE);
    EXPECT_EQ(Settings(L"<Utility><TrustList>").ApplyTrustList(), FALSE);
    EXPECT_EQ(Settings(L"").ApplyTrustList(), FALSE);
    // Only a direct child of the root is the list.
    EXPECT_EQ(Settings(L"<Utility><X><TrustList><S url='a' action='add'/></TrustList></X>"
                       L"</Utility>")
                  .ApplyTrustList(),
              FALSE);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(Flags(), DwordValue(0x47));
}

std::vector<ZoneCall> PolicyCalls() {
    return {{L"GetZoneAttributes", 2}, {L"SetZoneAttributes", 2}, Policy(0x2201, 0),
            Policy(0x1405, 0),         Policy(0x1201, 0),         Policy(0x1001, 0)};
}

const wchar_t kActiveXLine[] = L" 成功事件：ActiveX控件和插件设置修改成功";

TEST_F(BrowserZones, TrustedZoneGoesToItsRecommendedLevel) {
    record().attributes.cbSize = sizeof(ZONEATTRIBUTES);
    wcscpy(record().attributes.szDisplayName, L"Trusted sites");
    record().attributes.dwTemplateRecommended = URLTEMPLATE_MEDIUM;
    record().attributes.dwTemplateCurrentLevel = URLTEMPLATE_LOW;
    record().attributes.dwTemplateMinLevel = URLTEMPLATE_LOW;
    record().attributes.dwFlags = 0x47;
    EXPECT_EQ(Settings(L"", {5, 6}).ApplyTrustedZonePolicies(), TRUE);
    EXPECT_EQ(calls(), PolicyCalls());
    ZONEATTRIBUTES expected = record().attributes;
    expected.dwTemplateCurrentLevel = URLTEMPLATE_MEDIUM;
    EXPECT_EQ(memcmp(&record().written, &expected, sizeof(expected)), 0);
    EXPECT_EQ(record().created, 1);
}

TEST_F(BrowserZones, UnreadAttributesAreNotWritten) {
    record().getAttributes = E_FAIL;
    EXPECT_EQ(Settings(L"", {5, 6}).ApplyTrustedZonePolicies(), TRUE);
    std::vector<ZoneCall> expected = PolicyCalls();
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(trace.Lines(), std::vector<std::wstring>{kActiveXLine});
}

TEST_F(BrowserZones, ProtectedModeOnlyFromSystem6WithBrowser7) {
    struct Case {
        MajorVersions versions;
        bool switched;
    };
    const Case cases[] = {{{5, 6}, false}, {{5, 7}, false},  {{5, 8}, false}, {{6, 6}, false},
                          {{6, 7}, true},  {{10, 11}, true}, {{0, 0}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.versions.os << "." << c.versions.ie);
        record_ = std::make_shared<ZoneRecord>();
        trace.Take();
        Settings(L"", c.versions).ApplyTrustedZonePolicies();
        std::vector<ZoneCall> expected = PolicyCalls();
        std::vector<std::wstring> lines{kActiveXLine};
        if (c.switched) {
            expected.push_back(Policy(URLACTION_LOWRIGHTS, URLPOLICY_DISALLOW));
            lines.insert(lines.begin(), L" 成功事件：保护模式已成功关闭");
        }
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(trace.Lines(), lines);
    }
}

TEST_F(BrowserZones, ProtectedModeFailureIsTraced) {
    record().lowRights = E_NOTIMPL;
    Settings(L"", {6, 7}).ApplyTrustedZonePolicies();
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::wstring>{L" 失败事件：保护模式已关闭失败", kActiveXLine}));
}

TEST_F(BrowserZones, VersionsAreAskedOnlyForTheZonePolicies) {
    int asked = 0;
    BrowserSettings settings(
        trace,
        [&asked] {
            ++asked;
            return MajorVersions{6, 7};
        },
        [this] { return std::make_unique<RecordingManagers>(record_); });
    settings.ApplyTrustList(
        XmlNode::ParseFrozen(L"<U><TrustList><S url='a' action='add'/></TrustList></U>").get());
    EXPECT_EQ(asked, 0);
    settings.ApplyTrustedZonePolicies();
    EXPECT_EQ(asked, 1);
}

// The real managers under Wine: mapping and action policies are not
// implemented there, and the operations still finish as they should.
TEST_F(BrowserZones, SystemManagersUnderWine) {
    SetFlags(DwordValue(0x47));
    BrowserSettings settings(trace, [] { return MajorVersions{6, 7}; });
    EXPECT_EQ(settings.SetTrustedSite(L"http://bank.example", L"add"), FALSE);
    EXPECT_EQ(Flags(), DwordValue(0x47));
    EXPECT_EQ(settings.ApplyTrustedZonePolicies(), TRUE);
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::wstring>{kTrustedSiteLine, L" 失败事件：保护模式已关闭失败",
                                         kActiveXLine}));
}

} // namespace

namespace {

// Catalogue texts are not trusted: deep or long ones end without harm.
TEST_F(BrowserZones, HostileCatalogues) {
    std::wstring deep;
    for (int i = 0; i < 20000; ++i)
        deep += L"<a>";
    EXPECT_EQ(Settings(L"<U>" + deep).ApplyTrustList(), FALSE);
    std::wstring nested = L"<U><TrustList><S url='a' action='add'/></TrustList>";
    for (int i = 0; i < 200; ++i)
        nested += L"<a>";
    for (int i = 0; i < 200; ++i)
        nested += L"</a>";
    EXPECT_EQ(Settings(nested + L"</U>").ApplyTrustList(), TRUE);
    std::wstring many = L"<U><TrustList>";
    for (int i = 0; i < 3000; ++i)
        many += L"<S url='" + std::wstring(1000, L'x') + L"' action='add'/>";
    EXPECT_EQ(Settings(many + L"</TrustList></U>").ApplyTrustList(), TRUE);
    EXPECT_EQ(calls().size(), 3001u);
}

} // namespace

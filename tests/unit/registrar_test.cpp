#include "common/handles.h"
#include "control/registrar.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

namespace {

std::wstring ReadScript(const wchar_t* name) {
    std::string bytes = ReadBytes(SourcePath(std::wstring(L"resources/") + name));
    return std::wstring(bytes.begin(), bytes.end()); // the scripts are ASCII
}

const RgsKey* Find(const std::vector<RgsKey>& keys, const std::wstring& name) {
    for (const RgsKey& key : keys)
        if (key.name == name)
            return &key;
    return nullptr;
}

TEST(RegistryScriptParse, ClassScriptHasTheRegistrationKeys) {
    auto roots = ParseRgs(ExpandRgsReplacements(ReadScript(L"downloadclass.rgs"),
                                                {{L"MODULE", L"C:\\x\\Tovral.DLL"}}));
    ASSERT_TRUE(roots);
    ASSERT_EQ(roots->size(), 1u);
    EXPECT_EQ((*roots)[0].rootName, L"HKCR");
    const auto& keys = (*roots)[0].keys;
    const RgsKey* clsidRoot = Find(keys, L"CLSID");
    ASSERT_NE(clsidRoot, nullptr);
    EXPECT_EQ(clsidRoot->flag, RgsKey::Flag::NoRemove);
    const RgsKey* clsid = Find(clsidRoot->subkeys, L"{6513270E-269E-4D37-B2A7-4DE452E6B438}");
    ASSERT_NE(clsid, nullptr);
    EXPECT_EQ(clsid->flag, RgsKey::Flag::ForceRemove);
    EXPECT_EQ(clsid->defaultValue, (RgsValue{L's', L"DownLoad Class"}));
    const RgsKey* server = Find(clsid->subkeys, L"InprocServer32");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->defaultValue->data, L"C:\\x\\Tovral.DLL");
    ASSERT_EQ(server->values.size(), 1u);
    EXPECT_EQ(server->values[0].first, L"ThreadingModel");
    EXPECT_EQ(server->values[0].second.data, L"Apartment");
    EXPECT_EQ(Find(clsid->subkeys, L"Programmable")->flag, RgsKey::Flag::ForceRemove);
    EXPECT_EQ(Find(Find(keys, L"Tovral.DownLoad")->subkeys, L"CurVer")->defaultValue->data,
              L"Tovral.DownLoad.1");
}

TEST(RegistryScriptParse, ReplacementsAndSyntaxErrors) {
    // A path with a quote must stay one string.
    std::wstring expanded = ExpandRgsReplacements(L"HKCU { k = s '%MODULE%' v = s '100%%' }",
                                                  {{L"MODULE", L"C:\\O'Brien\\T.DLL"}});
    auto roots = ParseRgs(expanded);
    ASSERT_TRUE(roots);
    EXPECT_EQ((*roots)[0].keys[0].defaultValue->data, L"C:\\O'Brien\\T.DLL");
    EXPECT_EQ((*roots)[0].keys[1].defaultValue->data, L"100%");
    EXPECT_EQ(ExpandRgsReplacements(L"'%UNKNOWN%'", {}), L"'%UNKNOWN%'");

    EXPECT_FALSE(ParseRgs(L"HKCU { k = s 'unterminated }"));
    EXPECT_FALSE(ParseRgs(L"HKCU { k { }"));
    EXPECT_FALSE(ParseRgs(L"HKCU { k = x 'bad type' }"));
    EXPECT_FALSE(ParseRgs(L"HKCU { val v = s 'not inside a key' }"));
}

bool KeyExists(HKEY root, const wchar_t* path) {
    RegKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

std::wstring ReadValue(HKEY root, const wchar_t* path, const wchar_t* name) {
    wchar_t data[256] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

TEST(RegistryScriptApply, RegisterAndUnregisterHonourTheFlags) {
    const wchar_t* script = L"HKCU { NoRemove Software { NoRemove TovralTest {"
                            L"  Plain = s 'p' { val Named = s 'n' Sub = s 's' }"
                            L"  ForceRemove Forced { Extra }"
                            L"  Delete Gone } } }";
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TovralTest");
    RegKey gone;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TovralTest\\Gone", 0, nullptr, 0, KEY_WRITE,
                    nullptr, gone.out(), nullptr);
    gone.reset();
    auto roots = ParseRgs(script);
    ASSERT_TRUE(roots);

    ASSERT_EQ(ApplyRgs(*roots, true, RegistryScope::Machine), S_OK);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, L"Software\\TovralTest\\Plain", nullptr), L"p");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, L"Software\\TovralTest\\Plain", L"Named"), L"n");
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, L"Software\\TovralTest\\Plain\\Sub", nullptr), L"s");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\TovralTest\\Forced\\Extra"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\TovralTest\\Gone"));

    // A key the script does not know keeps a plain key alive, but not a forced one.
    RegKey foreign;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\TovralTest\\Forced\\Foreign", 0, nullptr, 0,
                    KEY_WRITE, nullptr, foreign.out(), nullptr);
    foreign.reset();
    ASSERT_EQ(ApplyRgs(*roots, false, RegistryScope::Machine), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\TovralTest\\Plain"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\TovralTest\\Forced"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\TovralTest"));
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TovralTest");
}

TEST(RegistryScriptApply, PerUserScopeMapsTheClassesRoot) {
    auto roots = ParseRgs(L"HKCR { TovralTest.Scope = s 'per user' }");
    ASSERT_TRUE(roots);
    ASSERT_EQ(ApplyRgs(*roots, true, RegistryScope::PerUser), S_OK);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, L"Software\\Classes\\TovralTest.Scope", nullptr),
              L"per user");
    ASSERT_EQ(ApplyRgs(*roots, false, RegistryScope::PerUser), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\TovralTest.Scope"));
}

} // namespace

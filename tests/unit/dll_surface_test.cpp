// The built Tovral.DLL as a COM server, loaded straight from the build folder:
// its embedded type library, its class object, and the scripting methods
// called through the vtable with the inputs a page cannot produce.
#include "Tovral_h.h"
#include "common/com_types.h"
#include "common/handles.h"
#include "common/text.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::wstring BuiltDll() {
    return BuildPath(L"Tovral.DLL");
}

const wchar_t* const kMethods[30] = {
    L"StartDownLoad",       L"DetectFile",     L"SetLanguage",     L"GetLanguage",
    L"SaveUserType",        L"GetUserType",    L"GetClientType",   L"GetIEVersion",
    L"GetSystemVersion",    L"GetSysInfoList", L"SetDownLoadList", L"GetDownLoadList",
    L"GetStatuBySurrId",    L"GetStatuByXML",  L"SaveIDList",      L"EBankDownLoad",
    L"GetQelLinks",         L"GetPatchFile",   L"GetSystemInfo",   L"GetSysInfoResult",
    L"OpenSysInfoFile",     L"QueryUpdate",    L"UpdateSymbol",    L"GetDynamicLink",
    L"GetLowVersionSymbol", L"UpdateBankVeyr", L"GetPatchResult",  L"QuitBankVeyr",
    L"InternetConnAddress", L"UpdateCancel"};

TEST(TypeLibrary, IdentityAndMethodsAsPublished) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibEx(BuiltDll().c_str(), REGKIND_NONE, &library), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_TovralLib);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0x0409u);
    library->ReleaseTLibAttr(attr);
    Bstr name, doc;
    ASSERT_EQ(library->GetDocumentation(-1, name.out(), doc.out(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.str(), L"TovralLib");
    EXPECT_EQ(doc.str(), L"Tovral 1.0  Type Library");

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_DownLoad, &coclass), S_OK);
    TYPEATTR* classAttr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&classAttr), S_OK);
    EXPECT_TRUE(classAttr->wTypeFlags & TYPEFLAG_FCANCREATE);
    coclass->ReleaseTypeAttr(classAttr);
    ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, name.out(), doc.out(), nullptr, nullptr),
              S_OK);
    EXPECT_EQ(name.str(), L"DownLoad");
    EXPECT_EQ(doc.str(), L"DownLoad Class");

    // The dual interface's dispatch side, then its vtable side.
    ComPtr<ITypeInfo> dispatch;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IDownLoad, &dispatch), S_OK);
    ASSERT_EQ(dispatch->GetDocumentation(MEMBERID_NIL, name.out(), doc.out(), nullptr, nullptr),
              S_OK);
    EXPECT_EQ(name.str(), L"IDownLoad");
    EXPECT_EQ(doc.str(), L"IDownLoad interface");
    HREFTYPE vtableRef = 0;
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(-1, &vtableRef), S_OK);
    ComPtr<ITypeInfo> dual;
    ASSERT_EQ(dispatch->GetRefTypeInfo(vtableRef, &dual), S_OK);
    TYPEATTR* typeAttr = nullptr;
    ASSERT_EQ(dual->GetTypeAttr(&typeAttr), S_OK);
    const WORD wanted = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(typeAttr->wTypeFlags & wanted, wanted);
    EXPECT_EQ(typeAttr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(typeAttr->cFuncs, 30);
    dual->ReleaseTypeAttr(typeAttr);
    for (int i = 0; i < 30; ++i) {
        FUNCDESC* func = nullptr;
        ASSERT_EQ(dual->GetFuncDesc(i, &func), S_OK);
        EXPECT_EQ(func->memid, i + 1) << i;
        EXPECT_EQ(func->oVft, static_cast<short>((7 + i) * sizeof(void*))) << i;
        EXPECT_EQ(func->callconv, CC_STDCALL);
        ASSERT_EQ(dual->GetDocumentation(func->memid, name.out(), doc.out(), nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(name.str(), kMethods[i]);
        EXPECT_EQ(doc.str(), std::wstring(L"method ") + kMethods[i]);
        dual->ReleaseFuncDesc(func);
    }
}

class LoadedControl : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dll_);
        auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(dll_.get(), "DllGetClassObject")));
        ASSERT_NE(getClassObject, nullptr);
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(IID_IDownLoad, IID_IClassFactory, &factory),
                  CLASS_E_CLASSNOTAVAILABLE);
        ASSERT_EQ(getClassObject(CLSID_DownLoad, IID_IClassFactory, &factory), S_OK);
        ComPtr<IUnknown> outer;
        ComPtr<IUnknown> aggregated;
        EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IUnknown, &aggregated),
                  CLASS_E_NOAGGREGATION);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDownLoad, &control_), S_OK);
    }

    HRESULT CallByName(const wchar_t* method, VARIANT* result, std::vector<VARIANT> args = {}) {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(method);
        HRESULT hr = control_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr))
            return hr;
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                                nullptr, nullptr);
    }

    Library dll_{LoadLibraryW(BuiltDll().c_str())};
    ComPtr<IDownLoad> control_;
};

TEST_F(LoadedControl, NamesMapToTheirDispatchIds) {
    for (int i = 0; i < 30; ++i) {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(kMethods[i]);
        ASSERT_EQ(control_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK) << i;
        EXPECT_EQ(id, i + 1);
    }
    DISPID id = 0;
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMethod");
    EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    // Automation names match without regard to case.
    LPOLESTR lower = const_cast<LPOLESTR>(L"updatecancel");
    ASSERT_EQ(control_->GetIDsOfNames(IID_NULL, &lower, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 30);
}

TEST_F(LoadedControl, InvokeCarriesTheEnginesValues) {
    Variant status;
    VARIANT id;
    id.vt = VT_I4;
    id.lVal = 2500;
    ASSERT_EQ(CallByName(L"GetStatuBySurrId", status.out(), {id}), S_OK);
    EXPECT_EQ(status->vt, VT_I4);
    EXPECT_EQ(status->lVal, 4);
    Variant symbol;
    ASSERT_EQ(CallByName(L"UpdateSymbol", symbol.out()), S_OK);
    EXPECT_EQ(symbol->vt, VT_BOOL);
    EXPECT_EQ(symbol->boolVal, 1); // the engine's 1, not VARIANT_TRUE
    Variant selfUpdate;
    ASSERT_EQ(CallByName(L"UpdateBankVeyr", selfUpdate.out()), S_OK);
    EXPECT_EQ(selfUpdate->boolVal, VARIANT_TRUE);
}

TEST_F(LoadedControl, NullStringsAndNullResultsAreHandled) {
    VARIANT_BOOL flag = 7;
    EXPECT_EQ(control_->SetDownLoadList(nullptr, &flag), S_OK);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(control_->EBankDownLoad(nullptr, &flag), S_OK);
    EXPECT_EQ(control_->SaveIDList(nullptr, &flag), S_OK);
    Bstr text;
    EXPECT_EQ(control_->GetDownLoadList(text.out()), S_OK);
    EXPECT_EQ(text.str(), L"");
    EXPECT_EQ(control_->GetLanguage(nullptr), E_POINTER);
    EXPECT_EQ(control_->GetStatuBySurrId(1, nullptr), E_POINTER);
    BSTR untouched = reinterpret_cast<BSTR>(0x1234);
    EXPECT_EQ(control_->GetClientType(&untouched), S_OK);
    EXPECT_EQ(untouched, reinterpret_cast<BSTR>(0x1234));
    EXPECT_EQ(control_->GetPatchFile(3, &untouched), S_OK);
    EXPECT_EQ(untouched, reinterpret_cast<BSTR>(0x1234));
    LONG status = 0;
    EXPECT_EQ(control_->GetStatuBySurrId(-5, &status), S_OK);
    EXPECT_EQ(status, 0);
}

TEST_F(LoadedControl, SiteIsKeptAndAnsweredWithoutABrowser) {
    ComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(control_.As(&withSite), S_OK);
    ComPtr<IUnknown> site;
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), E_FAIL);
    // Any object serves as a site; without IServiceProvider no page window is found.
    ComPtr<IUnknown> plain;
    ASSERT_EQ(
        CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(plain.GetAddressOf())),
        S_OK);
    EXPECT_EQ(withSite->SetSite(plain.Get()), S_OK);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), S_OK);
    EXPECT_EQ(site.Get(), plain.Get());
    EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), E_FAIL);
}

} // namespace

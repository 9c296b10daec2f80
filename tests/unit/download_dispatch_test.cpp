// IDownLoad's written-out dispatch against the type library, its reference:
// the names give the type library's DISPIDs, and on an object that records
// what each method received both Invokes give the same HRESULT, result type
// and value, exception code and calls for every method, argument list, flag
// combination and method outcome.
#include "Tovral_h.h"
#include "common/com_types.h"
#include "common/text.h"
#include "control/download_dispatch.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

VARIANT Number(LONG n) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = n;
    return value;
}

// Records each call as "Name(arg,arg,)" and answers with `answer`; results
// are written only when the answer is a success, as the control's methods do.
class RecordingDownLoad final : public IDownLoad {
public:
    HRESULT answer = S_OK;
    std::wstring log;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDownLoad
                      ? static_cast<IDownLoad*>(this)
                      : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; } // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }

    STDMETHODIMP StartDownLoad(LONG a) override { return Record(L"StartDownLoad", a); }
    STDMETHODIMP DetectFile(LONG a) override { return Record(L"DetectFile", a); }
    STDMETHODIMP SetLanguage(BSTR a, VARIANT_BOOL* r) override {
        return Record(L"SetLanguage", a, r);
    }
    STDMETHODIMP GetLanguage(BSTR* r) override { return Record(L"GetLanguage", r); }
    STDMETHODIMP SaveUserType(LONG a, LONG b, LONG c, VARIANT_BOOL* r) override {
        return Record(L"SaveUserType", a, b, c, r);
    }
    STDMETHODIMP GetUserType(BSTR* r) override { return Record(L"GetUserType", r); }
    STDMETHODIMP GetClientType(BSTR* r) override { return Record(L"GetClientType", r); }
    STDMETHODIMP GetIEVersion(BSTR* r) override { return Record(L"GetIEVersion", r); }
    STDMETHODIMP GetSystemVersion(BSTR* r) override { return Record(L"GetSystemVersion", r); }
    STDMETHODIMP GetSysInfoList(BSTR* r) override { return Record(L"GetSysInfoList", r); }
    STDMETHODIMP SetDownLoadList(BSTR a, VARIANT_BOOL* r) override {
        return Record(L"SetDownLoadList", a, r);
    }
    STDMETHODIMP GetDownLoadList(BSTR* r) override { return Record(L"GetDownLoadList", r); }
    STDMETHODIMP GetStatuBySurrId(LONG a, LONG* r) override {
        return Record(L"GetStatuBySurrId", a, r);
    }
    STDMETHODIMP GetStatuByXML(BSTR* r) override { return Record(L"GetStatuByXML", r); }
    STDMETHODIMP SaveIDList(BSTR a, VARIANT_BOOL* r) override {
        return Record(L"SaveIDList", a, r);
    }
    STDMETHODIMP EBankDownLoad(BSTR a, VARIANT_BOOL* r) override {
        return Record(L"EBankDownLoad", a, r);
    }
    STDMETHODIMP GetQelLinks(BSTR* r) override { return Record(L"GetQelLinks", r); }
    STDMETHODIMP GetPatchFile(LONG a, BSTR* r) override { return Record(L"GetPatchFile", a, r); }
    STDMETHODIMP GetSystemInfo(BSTR* r) override { return Record(L"GetSystemInfo", r); }
    STDMETHODIMP GetSysInfoResult(BSTR* r) override { return Record(L"GetSysInfoResult", r); }
    STDMETHODIMP OpenSysInfoFile(VARIANT_BOOL* r) override { return Record(L"OpenSysInfoFile", r); }
    STDMETHODIMP QueryUpdate(LONG* r) override { return Record(L"QueryUpdate", r); }
    STDMETHODIMP UpdateSymbol(VARIANT_BOOL* r) override { return Record(L"UpdateSymbol", r); }
    STDMETHODIMP GetDynamicLink(BSTR* r) override { return Record(L"GetDynamicLink", r); }
    STDMETHODIMP GetLowVersionSymbol(VARIANT_BOOL* r) override {
        return Record(L"GetLowVersionSymbol", r);
    }
    STDMETHODIMP UpdateBankVeyr(VARIANT_BOOL* r) override { return Record(L"UpdateBankVeyr", r); }
    STDMETHODIMP GetPatchResult(BSTR* r) override { return Record(L"GetPatchResult", r); }
    STDMETHODIMP QuitBankVeyr() override { return Record(L"QuitBankVeyr"); }
    STDMETHODIMP InternetConnAddress(BSTR* r) override { return Record(L"InternetConnAddress", r); }
    STDMETHODIMP UpdateCancel(LONG* r) override { return Record(L"UpdateCancel", r); }

private:
    template <typename... A> HRESULT Record(const wchar_t* name, A... args) {
        log += name + std::wstring(L"(");
        (Take(args), ...);
        log += L")";
        return answer;
    }
    void Take(LONG value) { log += std::to_wstring(value) + L","; }
    void Take(BSTR value) {
        log += value ? L"[" + Bstr::ToString(value) + L"]," : std::wstring(L"null,");
    }
    void Take(BSTR* out) {
        if (SUCCEEDED(answer))
            *out = SysAllocString(L"text");
    }
    void Take(VARIANT_BOOL* out) {
        if (SUCCEEDED(answer))
            *out = 1; // the engine's 1, not VARIANT_TRUE
    }
    void Take(LONG* out) {
        if (SUCCEEDED(answer))
            *out = -5;
    }
};

// Arguments of every kind a caller may pass, kept alive for the whole test.
class ArgumentPool {
public:
    ArgumentPool() {
        Add(VT_I4)->lVal = 7;
        Add(VT_I4)->lVal = -1;
        Add(VT_I2)->iVal = 3;
        Add(VT_R8)->dblVal = 2.5;
        Add(VT_R8)->dblVal = 1e20; // does not fit a long
        Add(VT_BSTR)->bstrVal = SysAllocString(L"42");
        Add(VT_BSTR)->bstrVal = SysAllocString(L"abc");
        Add(VT_BSTR)->bstrVal = nullptr;
        Add(VT_BOOL)->boolVal = VARIANT_TRUE;
        Add(VT_EMPTY);
        Add(VT_NULL);
        Add(VT_ERROR)->scode = DISP_E_PARAMNOTFOUND; // a left-out argument
        Add(VT_DISPATCH)->pdispVal = nullptr;
        Add(VT_I4 | VT_BYREF)->plVal = &number_;
        Add(VT_BSTR | VT_BYREF)->pbstrVal = &text_;
        innerText_.vt = VT_BSTR;
        innerText_.bstrVal = SysAllocString(L"inner");
        Add(VT_VARIANT | VT_BYREF)->pvarVal = &innerText_;
        innerNumber_ = Number(11);
        Add(VT_VARIANT | VT_BYREF)->pvarVal = &innerNumber_;
    }
    ArgumentPool(const ArgumentPool&) = delete; // the by-reference values point into it
    ArgumentPool& operator=(const ArgumentPool&) = delete;
    ~ArgumentPool() {
        for (VARIANT& value : values_)
            VariantClear(&value);
        VariantClear(&innerText_);
        SysFreeString(text_);
    }

    const std::vector<VARIANT>& values() const { return values_; }

    // Argument lists in call order: none, then each pooled value after zero
    // to three numbers, so every parameter position meets every kind.
    std::vector<std::vector<VARIANT>> Lists() const {
        std::vector<std::vector<VARIANT>> lists{{}};
        for (const VARIANT& value : values_) {
            std::vector<VARIANT> list;
            for (int before = 0; before < 4; ++before) {
                list.push_back(value);
                lists.push_back(list);
                list.back() = Number(before + 1);
            }
        }
        return lists;
    }

private:
    VARIANT* Add(VARTYPE type) {
        VARIANT value;
        VariantInit(&value);
        value.vt = type;
        values_.push_back(value);
        return &values_.back();
    }
    std::vector<VARIANT> values_;
    LONG number_ = 9;
    BSTR text_ = SysAllocString(L"by reference");
    VARIANT innerText_;
    VARIANT innerNumber_;
};

struct Outcome {
    HRESULT hr = S_OK;
    VARTYPE type = VT_EMPTY;
    std::wstring value;
    SCODE scode = 0;
    std::wstring calls;
    bool operator==(const Outcome&) const = default;
};

std::wstring Describe(const Outcome& o) {
    return FormatW(L"hr 0x%08X, result type %u [%ls], scode 0x%08X, calls %ls",
                   static_cast<unsigned>(o.hr), o.type, o.value.c_str(),
                   static_cast<unsigned>(o.scode), o.calls.c_str());
}

std::wstring ResultText(const VARIANT& result) {
    switch (result.vt) {
    case VT_BSTR:
        return Bstr::ToString(result.bstrVal); // null is the empty text (the reference copies it)
    case VT_BOOL:
        return std::to_wstring(result.boolVal);
    case VT_I4:
        return std::to_wstring(result.lVal);
    default:
        return L"";
    }
}

class InvokeAgainstTypeLibrary : public testing::Test {
protected:
    void SetUp() override {
        ComPtr<ITypeLib> library;
        ASSERT_EQ(LoadTypeLibEx(BuildPath(L"generated/Tovral.tlb").c_str(), REGKIND_NONE, &library),
                  S_OK);
        ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IDownLoad, &reference_), S_OK);
    }

    // Calls one of the two Invokes; the arguments are given in call order.
    template <typename Invoker>
    Outcome Call(Invoker invoke, DISPID id, WORD flags, std::vector<VARIANT> args, HRESULT answer,
                 bool wantResult = true) {
        RecordingDownLoad target;
        target.answer = answer;
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        Variant result;
        ExcepInfo exception;
        UINT argError = 0;
        SetErrorInfo(0, nullptr); // no stale description for the reference to pick up
        Outcome outcome;
        outcome.hr = invoke(&target, id, flags, &params, wantResult ? result.out() : nullptr,
                            &exception, &argError);
        outcome.type = result->vt;
        outcome.value = ResultText(result.get());
        outcome.scode = exception.scode;
        outcome.calls = target.log;
        return outcome;
    }

    Outcome Reference(DISPID id, WORD flags, std::vector<VARIANT> args, HRESULT answer,
                      bool wantResult = true) {
        return Call([&](IDownLoad* target, DISPID member, WORD f, DISPPARAMS* p, VARIANT* r,
                        EXCEPINFO* e,
                        UINT* a) { return reference_->Invoke(target, member, f, p, r, e, a); },
                    id, flags, std::move(args), answer, wantResult);
    }

    Outcome Ours(DISPID id, WORD flags, std::vector<VARIANT> args, HRESULT answer,
                 bool wantResult = true) {
        return Call(download_dispatch::Invoke, id, flags, std::move(args), answer, wantResult);
    }

    ComPtr<ITypeInfo> reference_;
};

TEST_F(InvokeAgainstTypeLibrary, NamesGiveTheTypeLibrarysIdsInAnyCase) {
    for (DISPID id = 1; id <= 30; ++id) {
        Bstr name;
        ASSERT_EQ(reference_->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(download_dispatch::DispIdOf(name.str()), id) << name.str();
        EXPECT_EQ(download_dispatch::DispIdOf(ToUpper(name.str())), id) << name.str();
        EXPECT_EQ(download_dispatch::DispIdOf(ToLower(name.str())), id) << name.str();
    }
    for (const wchar_t* name :
         {L"", L"NoSuchMethod", L"GetLanguag", L"GetLanguagee", L"Get Language", L"ＧetLanguage"}) {
        EXPECT_EQ(download_dispatch::DispIdOf(name), std::nullopt) << name;
    }
    EXPECT_EQ(download_dispatch::DispIdOf(std::wstring_view(L"GetLanguage\0", 12)), std::nullopt);
}

TEST_F(InvokeAgainstTypeLibrary, EveryMethodAnswersAsTheTypeLibrary) {
    ArgumentPool pool;
    const std::vector<std::vector<VARIANT>> lists = pool.Lists();
    const WORD flagSets[] = {DISPATCH_METHOD, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                             DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT};
    int compared = 0;
    for (DISPID id = -1; id <= 31; ++id) {
        for (WORD flags : flagSets) {
            for (HRESULT answer : {S_OK, E_OUTOFMEMORY}) {
                for (size_t l = 0; l < lists.size(); ++l) {
                    const Outcome expected = Reference(id, flags, lists[l], answer);
                    const Outcome actual = Ours(id, flags, lists[l], answer);
                    ASSERT_EQ(Describe(actual), Describe(expected))
                        << "DISPID " << id << ", flags " << flags << ", list " << l;
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 30 * 69 * 8);
}

TEST_F(InvokeAgainstTypeLibrary, WithoutAResultPointerTheMethodStillRuns) {
    const std::pair<DISPID, std::vector<VARIANT>> calls[] = {
        {13, {Number(1001)}}, {18, {Number(0)}}, {1, {Number(1001)}}, {4, {}}, {23, {}}};
    for (const auto& [id, args] : calls) {
        const Outcome expected = Reference(id, DISPATCH_METHOD, args, S_OK, false);
        EXPECT_EQ(Describe(Ours(id, DISPATCH_METHOD, args, S_OK, false)), Describe(expected));
        EXPECT_NE(expected.calls, L"") << id;
    }
}

TEST_F(InvokeAgainstTypeLibrary, ParameterListsThatDoNotFit) {
    VARIANT named[2] = {Number(5), Number(6)};
    DISPID names[2] = {0, 1};
    RecordingDownLoad target;
    // Named arguments are refused, where the type library would place them.
    DISPPARAMS withNames{named, names, 2, 1};
    EXPECT_EQ(download_dispatch::Invoke(&target, 13, DISPATCH_METHOD, &withNames, nullptr, nullptr,
                                        nullptr),
              DISP_E_NONAMEDARGS);
    // More names than arguments, or no parameter block at all, as the type library answers.
    DISPPARAMS tooManyNames{named, names, 1, 2};
    for (DISPPARAMS* params : {&tooManyNames, static_cast<DISPPARAMS*>(nullptr)}) {
        EXPECT_EQ(
            download_dispatch::Invoke(&target, 13, DISPATCH_METHOD, params, nullptr, nullptr,
                                      nullptr),
            reference_->Invoke(&target, 13, DISPATCH_METHOD, params, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(target.log, L"");
}

TEST(DownLoadInvoke, AnArgumentThatDoesNotConvertIsNamedByItsPosition) {
    RecordingDownLoad target;
    VARIANT args[3] = {Number(3), Number(0), Number(1)}; // reversed: SaveUserType(1, "x", 3)
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(L"x");
    DISPPARAMS params{args, nullptr, 3, 0};
    UINT argError = 99;
    EXPECT_EQ(download_dispatch::Invoke(&target, 5, DISPATCH_METHOD, &params, nullptr, nullptr,
                                        &argError),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 1u);
    EXPECT_EQ(target.log, L"");
    SysFreeString(args[1].bstrVal);
}

} // namespace

// The page's named item `host`: output, the message loop, posting to the host
// window, page arguments, exit and a deliberate crash. Methods are called by
// name through IDispatch (Wine passes DISPATCH_METHOD, Windows METHOD|PROPERTYGET).
#pragma once

#include "common/com_types.h"
#include "tools/host/com_object.h"

#include <string>
#include <vector>

class HostWindow;
class MessagePump;

// Conversions of script values to the host's argument types.
// JavaScript's ToInt32: numbers wrap modulo 2^32, so 0xFFFFFFFF arrives as -1.
HRESULT VariantToInt32(const VARIANT& value, int* out);
HRESULT VariantToText(const VARIANT& value, std::wstring* out);

class HostObject final : public IDispatch {
public:
    HostObject(HostWindow& window, MessagePump& pump, std::vector<std::wstring> pageArguments);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv, {{IID_IUnknown, this}, {IID_IDispatch, this}});
    }
    HOST_REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT* argError) override;

    // Argument i (0-based, in call order) of the current call; VT_EMPTY when absent.
    class Arguments {
    public:
        explicit Arguments(const DISPPARAMS* params) : params_(params) {}
        UINT count() const { return params_ ? params_->cArgs : 0; }
        const VARIANT& operator[](UINT i) const;

    private:
        const DISPPARAMS* params_;
    };
    using Method = HRESULT (HostObject::*)(const Arguments& args, VARIANT* result);

private:
    HRESULT Echo(const Arguments& args, VARIANT* result);
    HRESULT Pump(const Arguments& args, VARIANT* result);
    HRESULT Stop(const Arguments& args, VARIANT* result);
    HRESULT Post(const Arguments& args, VARIANT* result);
    HRESULT Exit(const Arguments& args, VARIANT* result);
    HRESULT Arg(const Arguments& args, VARIANT* result);
    HRESULT ArgCount(const Arguments& args, VARIANT* result);
    HRESULT QuitReceived(const Arguments& args, VARIANT* result);
    HRESULT Crash(const Arguments& args, VARIANT* result);
    HRESULT Sleep(const Arguments& args, VARIANT* result);
    HRESULT Received(const Arguments& args, VARIANT* result);
    HRESULT DestroyWindow(const Arguments& args, VARIANT* result);

    struct Member {
        const wchar_t* name;
        Method method;
        bool isProperty; // read with a property get; methods need a call
    };
    static const Member kMembers[];

    RefCount<HostObject> refs_;
    HostWindow& window_;
    MessagePump& pump_;
    std::vector<std::wstring> pageArguments_;
};

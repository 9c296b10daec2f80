// The page's named item `host`: output, the message loop, posting to the host
// window, page arguments, exit, a deliberate crash, and a no-op call and a clock
// for timing pages (list in main.cpp).
#pragma once

#include "common/com_object.h"
#include "tools/host/dispatch_object.h"

#include <string>
#include <vector>

class BrowserServices;
class HostWindow;
class MessagePump;

class HostObject final : public NamedDispatch<HostObject> {
public:
    HostObject(HostWindow& window, MessagePump& pump, BrowserServices& browser,
               std::vector<std::wstring> pageArguments);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return AnswerQuery(riid, ppv, {{IID_IUnknown, this}, {IID_IDispatch, this}});
    }
    REFCOUNTED_IUNKNOWN

    static std::span<const Member> Members();

private:
    HRESULT Echo(const DispArguments& args, VARIANT* result);
    HRESULT Pump(const DispArguments& args, VARIANT* result);
    HRESULT Stop(const DispArguments& args, VARIANT* result);
    HRESULT QuitReceived(const DispArguments& args, VARIANT* result);
    HRESULT Post(const DispArguments& args, VARIANT* result);
    HRESULT Received(const DispArguments& args, VARIANT* result);
    HRESULT DestroyWindow(const DispArguments& args, VARIANT* result);
    HRESULT Arg(const DispArguments& args, VARIANT* result);
    HRESULT ArgCount(const DispArguments& args, VARIANT* result);
    HRESULT ProcessId(const DispArguments& args, VARIANT* result);
    HRESULT Sleep(const DispArguments& args, VARIANT* result);
    HRESULT Exit(const DispArguments& args, VARIANT* result);
    HRESULT Crash(const DispArguments& args, VARIANT* result);
    HRESULT Noop(const DispArguments& args, VARIANT* result);
    HRESULT Clock(const DispArguments& args, VARIANT* result);
    HRESULT SetDocumentUrl(const DispArguments& args, VARIANT* result);
    // embed(progId[, frameUrl]): the object as an <object> element of the page,
    // or of a frame with that address; its site is the element's client site.
    HRESULT Embed(const DispArguments& args, VARIANT* result);

    RefCount<HostObject> refs_;
    HostWindow& window_;
    MessagePump& pump_;
    BrowserServices& browser_;
    std::vector<std::wstring> pageArguments_;
};

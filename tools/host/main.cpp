// TovralHost.exe: the page host. It stands in for the bank's client application
// that embeds the online-banking page: a top-level window, the JScript engine
// running the page, and the browser objects the control finds through its site.
//
// usage: TovralHost.exe PAGE.js [options] [-- page arguments...]
//
//   PAGE.js                    the page script, UTF-8 (byte-order mark optional)
//   --no-active-window         create the window but activate nothing, so the
//                              control finds no active window when it loads
//   --no-browser               the site refuses the IWebBrowserApp service (the
//                              control then has no page window for call-backs)
//   --app-minor-version TEXT   the navigator's appMinorVersion (default ";SP2;")
//   --document-url URL         the page's address: the document's URL and the
//                              browser's LocationURL (default: neither answers)
//   --dismiss-dialogs          report every dialog box of the process on standard
//                              output ("dialog: CAPTION", then "dialog-text: LINE"
//                              per non-empty text line) and press its default button
//   --help                     print this usage
//   -- ARGS...                 page arguments, read with host.arg(i) / host.argCount
//
// The page sees the named item `host`:
//   host.echo(text)            one line (UTF-8) on standard output, written at once
//   host.pump([ms])            run the message loop until host.stop(), a WM_QUIT
//                              or ms milliseconds (none or negative: no limit);
//                              true unless the time ran out
//   host.stop()                end the running pump (or the next one at once)
//   host.quitReceived          true once a pump ended on WM_QUIT
//   host.post(msg, wParam, lParam)  PostMessage to the host window (numbers are
//                              signed 32-bit; 0xFFFFFFFF and -1 are the same); true if posted
//   host.received()            application-range messages (WM_USER..0x7FFF,
//                              WM_APP..0xBFFF) that reached the host window's own
//                              procedure, as "message,wParam,lParam" lines
//   host.destroyWindow()       destroy the host window now; true if destroyed
//   host.arg(i), host.argCount page arguments
//   host.sleep(ms)             sleep without dispatching messages
//   host.exit(code)            end the process at once with that exit code
//   host.crash()               an access violation on a new thread while the page
//                              thread waits (for the control's crash filter; with
//                              no filter installed Wine starts its debugger, which
//                              waits for a user)
//   host.noop()                does nothing (the reference call of benchmark pages)
//   host.clock()               milliseconds from the performance counter (a number
//                              with a fraction; only differences mean anything)
//   host.setDocumentUrl(url)   the page's address from now on (--document-url), as
//                              after a navigation of the same browser
//   host.embed(progId[, url])  the object created as an <object> element: its site
//                              is the element's client site, whose container is the
//                              page's document or that of a frame at `url`
//
// As the browser does, the host runs the engine with INTERFACE_USES_SECURITY_MANAGER;
// its site's services are SID_SInternetHostSecurityManager (ActiveX run and object
// safety allowed: the client trusts its bank's controls) and IWebBrowserApp, whose
// document's parentWindow runs execScript texts ("JScript", "javascript", any case)
// in the page's engine. When the page ends, the engine and the page's objects are
// released and unused COM DLLs unloaded; the window stays until the process ends.
//
// Exit codes: 0 when the page script ends; the code given to host.exit; 2 for a
// script error at the page's top level ("script error: TEXT (line N)" on standard
// error); 64 usage error; 66 page file unreadable; 70 the engine could not start.
// Errors in texts run through IHTMLWindow2::execScript are printed
// ("execScript error: ...") and fail that call only.

#include "common/command_line.h"
#include "common/handles.h"
#include "common/text.h"
#include "tools/host/browser.h"
#include "tools/host/console_output.h"
#include "tools/host/dialog_watcher.h"
#include "tools/host/host_object.h"
#include "tools/host/host_options.h"
#include "tools/host/host_window.h"
#include "tools/host/script_engine.h"

#include <ole2.h>
#include <shellapi.h>

#include <memory>

namespace {

const int kExitScriptError = 2;
const int kExitUsage = 64;
const int kExitNoInput = 66;
const int kExitInternal = 70;

bool ReadPageText(const std::wstring& path, std::wstring* text) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    *text = FromCodePage(bytes, CP_UTF8);
    return true;
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Releases everything the engine holds; the page window stops reaching it.
struct EngineScope : ScriptRunner {
    ScriptEngine engine;
    ComPtr<BrowserServices> services;

    HRESULT RunNested(const std::wstring& code) override { return engine.RunNested(code); }
    ~EngineScope() {
        engine.Close();
        if (services)
            services->DetachRunner();
    }
};

int RunPage(const HostOptions& options, const std::wstring& pageText, HostWindow& window) {
    MessagePump pump;
    EngineScope scope;
    scope.services = MakeCom<BrowserServices>(
        BrowserSettings{options.offerBrowser, options.appMinorVersion, options.documentUrl},
        &scope);
    ComPtr<HostObject> host =
        MakeCom<HostObject>(window, pump, *scope.services.Get(), options.pageArguments);
    HRESULT hr = scope.engine.Start(host.Get(), scope.services.Get(), window.handle());
    if (FAILED(hr)) {
        WriteLine(OutputStream::Err, FormatW(L"host: the JScript engine could not start (0x%08X)",
                                             static_cast<unsigned>(hr)));
        return kExitInternal;
    }
    hr = scope.engine.RunPage(pageText);
    if (FAILED(hr)) {
        WriteLine(OutputStream::Err,
                  L"script error: " + FormatScriptError(*scope.engine.pageError()));
        return kExitScriptError;
    }
    return 0;
}

class OleSession {
public:
    OleSession() : hr_(OleInitialize(nullptr)) {}
    ~OleSession() {
        if (SUCCEEDED(hr_))
            OleUninitialize();
    }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

int RunHost(const HostOptions& options) {
    std::wstring pageText;
    if (!ReadPageText(options.pagePath, &pageText)) {
        WriteLine(OutputStream::Err, L"host: cannot read the page script " + options.pagePath);
        return kExitNoInput;
    }
    std::unique_ptr<DialogWatcher> watcher;
    if (options.dismissDialogs)
        watcher = std::make_unique<DialogWatcher>();
    // The window outlives COM: the control's DLL is unloaded while the window
    // it subclassed still exists, as in the bank's client application.
    HostWindow window(L"TovralHost - " + FileNameOf(options.pagePath), options.activateWindow);
    if (!window.created()) {
        WriteLine(OutputStream::Err, L"host: cannot create the host window");
        return kExitInternal;
    }
    int exitCode = 0;
    {
        OleSession ole;
        if (FAILED(ole.result())) {
            WriteLine(OutputStream::Err, L"host: OleInitialize failed");
            return kExitInternal;
        }
        exitCode = RunPage(options, pageText, window);
        // Everything of the page is released: unload its controls' DLLs now.
        // (OleUninitialize alone would not: the window keeps the thread's COM
        // initialised through the input-method support.)
        CoFreeUnusedLibrariesEx(0, 0);
    }
    window.Ping();
    return exitCode;
}

} // namespace

int main() {
    const ParsedCommandLine parsed = ParseHostCommandLine(CommandLineArguments());
    if (parsed.helpRequested) {
        WriteLine(OutputStream::Out, kHostUsage);
        return 0;
    }
    if (!parsed.options) {
        WriteLine(OutputStream::Err, L"TovralHost: " + parsed.error);
        WriteLine(OutputStream::Err, kHostUsage);
        return kExitUsage;
    }
    return RunHost(*parsed.options);
}

// The JScript engine that runs the page, and its site. The site answers the
// engine's service queries through the browser services (browser.h), which is
// how objects the page creates with `new ActiveXObject` find the browser.
#pragma once

#include "common/com_types.h"

#include <activscp.h>

#include <optional>
#include <string>

struct ScriptError {
    std::wstring description;
    long line = 0; // 1-based line of the script text
};

// "TEXT (line N)", the form the host prints script errors in.
std::wstring FormatScriptError(const ScriptError& error);

// Builds the error record from what the engine reports (line numbers count from 0).
ScriptError MakeScriptError(const EXCEPINFO& info, ULONG zeroBasedLine);

class ScriptEngine {
public:
    ScriptEngine() = default;
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Creates the engine as the browser does (security manager on) with the named
    // item `host`. `services` answers the engine's and the page objects' queries.
    HRESULT Start(IDispatch* hostObject, IServiceProvider* services, HWND window);
    // Runs the page's own text; a failure leaves its description in pageError().
    HRESULT RunPage(const std::wstring& text);
    // Runs a text on behalf of IHTMLWindow2::execScript, possibly while the page
    // is inside a host call; its errors are printed but never end the page.
    HRESULT RunNested(const std::wstring& text);
    // Closes and releases the engine (and with it the page's objects).
    void Close();

    const std::optional<ScriptError>& pageError() const { return pageError_; }
    // Called by the site when the engine reports an error.
    void OnError(IActiveScriptError* error);

private:
    HRESULT Parse(const std::wstring& text);

    ComPtr<IActiveScript> script_;
    ComPtr<IActiveScriptParse> parse_;
    ComPtr<IActiveScriptSite> site_;
    int nestedDepth_ = 0;
    std::optional<ScriptError> pageError_;
};

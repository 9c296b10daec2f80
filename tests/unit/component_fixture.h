// The one fixture of the component tests: a throwaway data folder with the
// client folder beside it, the trace and the page's call-backs recorded, the
// decrypted texts in memory and a fake bank server behind the fetch seam.
#pragma once

#include "config/component_context.h"
#include "tests/unit/test_support.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

struct Posted {
    UINT message = 0;
    int wParam = 0;
    int lParam = 0;
    bool operator==(const Posted&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Posted& posted);

// A call-back as the page sees it: "downloaded 1001 -1", "installed 4001 0",
// "all downloaded", "all installed", "update 48", "self-update error 1"...
std::wstring Described(const Posted& posted);

// Records what components post to the page, from any thread.
class MessageRecorder {
public:
    PagePoster Poster();
    std::vector<Posted> All() const;
    std::vector<std::wstring> Texts() const;
    size_t Count(UINT message) const;
    void Clear();
    // Waits (at most a minute) until `message` was posted `count` times in
    // all; the call-backs so far.
    std::vector<std::wstring> WaitFor(UINT message, size_t count = 1) const;
    // Waits (at most a minute) until `done` holds for the call-backs so far.
    bool WaitUntil(const std::function<bool(const std::vector<Posted>&)>& done) const;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Posted> posted_;
};

class ComponentFixture {
public:
    ComponentFixture();

    // A context on the fixture's folders, trace, texts, recorder and server;
    // `key` and `signatures` as the test needs (the default: none, off).
    ComponentContext MakeContext();

    TempFolder dir;
    std::wstring clientFolder; // dir + "client\\", made
    RecordingTraceSink trace;
    ConfigurationTexts texts;
    FakeBankServer server;
    MessageRecorder posted;
    std::wstring rootUrl = L"http://bank/";
    std::wstring language = L"chs";
    RsaPublicKey key;
    SignatureCheck signatures;
};

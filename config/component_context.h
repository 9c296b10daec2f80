// What the engine hands to each of its components: paths, server root, key
// and signature rule, trace sink, decrypted texts, a way to post to the page and a fetch
// function. Components copy the parts they need and hold nothing of another
// component.
#pragma once

#include "common/fetch.h"
#include "common/page_messages.h"
#include "common/trace_sink.h"
#include "config/config_set.h"
#include "config/crypto.h"
#include "config/settings_paths.h"

#include <functional>
#include <string>

struct ComponentContext {
    SettingsPaths paths;
    std::wstring rootUrl;      // ends with "/" (or is empty)
    std::wstring clientFolder; // the client application's folder, ending with a backslash
    RsaPublicKey key;
    SignatureCheck signatures;              // the rule for encrypted files read from disk
    const TraceSink* trace = nullptr;       // outlives every component
    ConfigurationTexts* texts = nullptr;    // guarded by its own lock
    std::function<std::wstring()> language; // the current language; any thread
    PagePoster post;                        // any thread
    FetchFunction fetch;                    // blocking: worker threads only

    const TraceSink& Trace() const { return *trace; }
    // The decryptor of the settings and self-update folders' files: the
    // context's key and signature rule, failures traced.
    CDravikCrypto Crypto() const { return CDravikCrypto(key, signatures, *trace); }
};

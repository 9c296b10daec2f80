// A parsed XML text that the page's thread and worker threads both read: the
// catalogue of the current language, kept parsed between calls. Every read
// holds the lock, so one thread's walk never meets another's reload.
#pragma once

#include "config/xml_node.h"

#include <functional>
#include <mutex>
#include <string>

class SharedDocument {
public:
    // Parses `text` unless a parse is held already; true when one is held
    // afterwards. The first caller wins even when two threads ask at once.
    bool EnsureParsed(const std::function<std::wstring()>& text);
    // Parses `text` in place of whatever is held; when it does not parse,
    // nothing is held and the next EnsureParsed tries again.
    void Replace(const std::wstring& text);

    // Runs `reader` on the root element (null when nothing parsed) under the lock.
    template <typename Reader> auto Read(Reader&& reader) const {
        std::lock_guard guard(lock_);
        return reader(parsed_ ? &root_ : static_cast<const XmlNode*>(nullptr));
    }

private:
    mutable std::mutex lock_;
    XmlNode root_;
    bool parsed_ = false;
};

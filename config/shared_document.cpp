#include "config/shared_document.h"

bool SharedDocument::EnsureParsed(const std::function<std::wstring()>& text) {
    std::lock_guard guard(lock_);
    if (!parsed_) {
        parsed_ = root_.LoadXml(text());
    }
    return parsed_;
}

void SharedDocument::Replace(const std::wstring& text) {
    std::lock_guard guard(lock_);
    root_.ClearChildren();
    parsed_ = root_.LoadXml(text);
}

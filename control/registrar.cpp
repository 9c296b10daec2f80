#include "control/registrar.h"

#include "common/handles.h"
#include "common/text.h"

#include <cwctype>

namespace {

class RgsLexer {
public:
    explicit RgsLexer(const std::wstring& text) : text_(text) {}

    // Next token: a quoted string (quotes removed) or a run of non-blank
    // characters; "{", "}" and "=" are punctuation when they stand alone, so a
    // bare {GUID} key name stays one word. `quoted` tells strings from words.
    bool Next(std::wstring& token, bool& quoted) {
        SkipSpace();
        if (pos_ >= text_.size())
            return false;
        quoted = false;
        if (text_[pos_] == L'\'')
            return ReadQuoted(token, quoted);
        size_t start = pos_;
        while (pos_ < text_.size() && !std::iswspace(text_[pos_]))
            ++pos_;
        token = text_.substr(start, pos_ - start);
        return true;
    }

    bool Peek(std::wstring& token, bool& quoted) {
        size_t saved = pos_;
        bool ok = Next(token, quoted);
        pos_ = saved;
        return ok;
    }

    bool failed() const { return failed_; }

private:
    void SkipSpace() {
        while (pos_ < text_.size() && std::iswspace(text_[pos_]))
            ++pos_;
    }

    bool ReadQuoted(std::wstring& token, bool& quoted) {
        token.clear();
        quoted = true;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            if (text_[pos_] != L'\'') {
                token.push_back(text_[pos_]);
                continue;
            }
            if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
                token.push_back(L'\''); // '' is a quote inside a string
                ++pos_;
                continue;
            }
            ++pos_;
            return true;
        }
        failed_ = true; // unterminated string
        return false;
    }

    const std::wstring& text_;
    size_t pos_ = 0;
    bool failed_ = false;
};

class RgsParser {
public:
    explicit RgsParser(const std::wstring& text) : lexer_(text) {}

    std::optional<std::vector<RgsRoot>> Parse() {
        std::vector<RgsRoot> roots;
        std::wstring token;
        bool quoted = false;
        while (lexer_.Next(token, quoted)) {
            RgsRoot root;
            root.rootName = token;
            if (quoted || !Expect(L"{") || !ParseBody(root.keys, nullptr))
                return std::nullopt;
            roots.push_back(std::move(root));
        }
        if (lexer_.failed())
            return std::nullopt;
        return roots;
    }

private:
    bool Expect(const wchar_t* wanted) {
        std::wstring token;
        bool quoted = false;
        return lexer_.Next(token, quoted) && !quoted && token == wanted;
    }

    // Reads "s 'text'" or "d 'number'" after an equals sign.
    bool ParseValue(RgsValue& value) {
        std::wstring type, data;
        bool quoted = false;
        if (!lexer_.Next(type, quoted) || quoted || type.size() != 1)
            return false;
        value.type = static_cast<wchar_t>(std::towlower(type[0]));
        if (value.type != L's' && value.type != L'd')
            return false;
        if (!lexer_.Next(data, quoted))
            return false;
        value.data = data;
        return true;
    }

    // Parses entries up to the closing brace. Named values are allowed only
    // inside a key (owner not null).
    bool ParseBody(std::vector<RgsKey>& keys, RgsKey* owner) {
        std::wstring token;
        bool quoted = false;
        while (lexer_.Next(token, quoted)) {
            if (!quoted && token == L"}")
                return true;
            if (!quoted && EqualsNoCase(token, L"val")) {
                if (!owner || !ParseNamedValue(*owner))
                    return false;
                continue;
            }
            RgsKey key;
            if (!ParseKey(token, quoted, key))
                return false;
            keys.push_back(std::move(key));
        }
        return false; // missing closing brace
    }

    bool ParseNamedValue(RgsKey& owner) {
        std::wstring name;
        bool quoted = false;
        RgsValue value;
        if (!lexer_.Next(name, quoted) || !Expect(L"=") || !ParseValue(value))
            return false;
        owner.values.emplace_back(name, value);
        return true;
    }

    bool ParseKey(std::wstring token, bool quoted, RgsKey& key) {
        if (!quoted) {
            if (EqualsNoCase(token, L"NoRemove"))
                key.flag = RgsKey::Flag::NoRemove;
            else if (EqualsNoCase(token, L"ForceRemove"))
                key.flag = RgsKey::Flag::ForceRemove;
            else if (EqualsNoCase(token, L"Delete"))
                key.flag = RgsKey::Flag::Delete;
            if (key.flag != RgsKey::Flag::None && !lexer_.Next(token, quoted))
                return false;
        }
        if (!quoted && (token == L"{" || token == L"}" || token == L"="))
            return false;
        key.name = token;
        std::wstring next;
        if (lexer_.Peek(next, quoted) && !quoted && next == L"=") {
            lexer_.Next(next, quoted);
            RgsValue value;
            if (!ParseValue(value))
                return false;
            key.defaultValue = value;
        }
        if (lexer_.Peek(next, quoted) && !quoted && next == L"{") {
            lexer_.Next(next, quoted);
            return ParseBody(key.subkeys, &key);
        }
        return true;
    }

    RgsLexer lexer_;
};

HKEY PredefinedKey(const std::wstring& name) {
    static const struct {
        const wchar_t* shortName;
        const wchar_t* longName;
        HKEY key;
    } kRoots[] = {
        {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKU", L"HKEY_USERS", HKEY_USERS},
        {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : kRoots) {
        if (EqualsNoCase(name, root.shortName) || EqualsNoCase(name, root.longName))
            return root.key;
    }
    return nullptr;
}

HRESULT SetValue(HKEY key, const wchar_t* name, const RgsValue& value) {
    LONG rc;
    if (value.type == L'd') {
        DWORD number = wcstoul(value.data.c_str(), nullptr, 0);
        rc = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                            sizeof(number));
    } else {
        rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data.c_str()),
                            static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
    }
    return HRESULT_FROM_WIN32(rc);
}

HRESULT RegisterKey(HKEY parent, const RgsKey& key) {
    if (key.flag == RgsKey::Flag::Delete || key.flag == RgsKey::Flag::ForceRemove)
        RegDeleteTreeW(parent, key.name.c_str());
    if (key.flag == RgsKey::Flag::Delete)
        return S_OK;
    RegKey created;
    LONG rc = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                              nullptr, created.out(), nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    HRESULT hr = S_OK;
    if (key.defaultValue)
        hr = SetValue(created.get(), nullptr, *key.defaultValue);
    for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i)
        hr = SetValue(created.get(), key.values[i].first.c_str(), key.values[i].second);
    for (size_t i = 0; SUCCEEDED(hr) && i < key.subkeys.size(); ++i)
        hr = RegisterKey(created.get(), key.subkeys[i]);
    return hr;
}

void UnregisterKey(HKEY parent, const RgsKey& key) {
    if (key.flag == RgsKey::Flag::Delete)
        return;
    {
        RegKey opened;
        if (RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, opened.out()) !=
            ERROR_SUCCESS)
            return; // already gone
        for (const auto& [name, value] : key.values)
            RegDeleteValueW(opened.get(), name.c_str());
        for (const RgsKey& subkey : key.subkeys)
            UnregisterKey(opened.get(), subkey);
    }
    if (key.flag == RgsKey::Flag::ForceRemove)
        RegDeleteTreeW(parent, key.name.c_str());
    else if (key.flag == RgsKey::Flag::None)
        RegDeleteKeyW(parent, key.name.c_str()); // fails, as wanted, while other subkeys remain
}

HRESULT OpenRoot(const std::wstring& name, RegistryScope scope, RegKey& owned, HKEY& root) {
    root = PredefinedKey(name);
    if (!root)
        return E_INVALIDARG;
    if (scope == RegistryScope::PerUser && root == HKEY_CLASSES_ROOT) {
        LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE, nullptr, owned.out(), nullptr);
        if (rc != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(rc);
        root = owned.get();
    }
    return S_OK;
}

} // namespace

std::wstring ExpandRgsReplacements(const std::wstring& script,
                                   const std::map<std::wstring, std::wstring>& replacements) {
    std::wstring out;
    for (size_t pos = 0; pos < script.size();) {
        size_t start = script.find(L'%', pos);
        size_t end = start == std::wstring::npos ? start : script.find(L'%', start + 1);
        if (end == std::wstring::npos) {
            out.append(script, pos, std::wstring::npos);
            break;
        }
        out.append(script, pos, start - pos);
        std::wstring name = script.substr(start + 1, end - start - 1);
        auto found = replacements.find(name);
        if (name.empty())
            out.push_back(L'%');
        else if (found != replacements.end())
            out.append(ReplaceAll(found->second, L"'", L"''"));
        else
            out.append(script, start, end - start + 1); // unknown names stay as written
        pos = end + 1;
    }
    return out;
}

std::optional<std::vector<RgsRoot>> ParseRgs(const std::wstring& script) {
    return RgsParser(script).Parse();
}

HRESULT ApplyRgs(const std::vector<RgsRoot>& roots, bool registering, RegistryScope scope) {
    for (const RgsRoot& root : roots) {
        RegKey owned;
        HKEY key = nullptr;
        HRESULT hr = OpenRoot(root.rootName, scope, owned, key);
        if (FAILED(hr))
            return hr;
        for (const RgsKey& child : root.keys) {
            if (!registering) {
                UnregisterKey(key, child);
                continue;
            }
            hr = RegisterKey(key, child);
            if (FAILED(hr))
                return hr;
        }
    }
    return S_OK;
}

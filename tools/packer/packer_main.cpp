// TovralPack: the bank's tool for the encrypted configuration files.
//   TovralPack keygen [--signing] PRIVATE.key PUBLIC.pub
//   TovralPack encrypt --key PRIVATE.key [--sign SIGNING.key]
//                      [--encoding utf8|utf16|ansi|utf32marker] [--codepage N]
//                      INPUT OUTPUT [INPUT OUTPUT]...
//   TovralPack sign --sign SIGNING.key FILE...
//   TovralPack verify --pub SIGNING.pub FILE...
//   TovralPack decrypt --pub PUBLIC.pub [--codepage N] INPUT OUTPUT [INPUT OUTPUT]...
// Input text is UTF-8; decrypt writes the recovered text as UTF-8. Signatures
// go to FILE.sig beside each encrypted file. Of several pairs each is tried:
// a pair that fails writes no output (and no half of one), is named on its
// own line of stderr, and makes the exit code 1.
#include "common/command_line.h"
#include "common/handles.h"
#include "crypto/signature.h"
#include "config/text_decoding.h"
#include "tools/packer/packer_core.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr int kExitFailure = 1; // the operation failed (unreadable file, bad key...)
constexpr int kExitUsage = 2;   // the command line was wrong

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "usage:\n"
    "  TovralPack keygen [--signing] PRIVATE.key PUBLIC.pub\n"
    "  TovralPack encrypt --key PRIVATE.key [--sign SIGNING.key]\n"
    "                     [--encoding utf8|utf16|ansi|utf32marker] [--codepage N]\n"
    "                     INPUT OUTPUT [INPUT OUTPUT]...\n"
    "  TovralPack sign --sign SIGNING.key FILE...\n"
    "  TovralPack verify --pub SIGNING.pub FILE...\n"
    "  TovralPack decrypt --pub PUBLIC.pub [--codepage N] INPUT OUTPUT [INPUT OUTPUT]...\n"
    "Of several INPUT OUTPUT pairs each is tried; one that fails writes no OUTPUT and\n"
    "is named on stderr, and the exit code is 1.\n";

std::string Printable(const std::wstring& text) {
    return WideToUtf8(text);
}

std::string ReadInput(const std::wstring& path) {
    std::optional<std::string> bytes = CDravikCrypto::ReadWholeFile(path);
    if (!bytes)
        throw PackError("cannot read " + Printable(path));
    return *bytes;
}

// A file whose write fails is removed: a reader never finds half of one.
void WriteOutput(const std::wstring& path, const std::string& bytes, bool mustBeNew) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                mustBeNew ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file) {
        if (mustBeNew && GetLastError() == ERROR_FILE_EXISTS)
            throw PackError(Printable(path) + " already exists; a key file is never overwritten");
        throw PackError("cannot create " + Printable(path));
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        file.reset();
        DeleteFileW(path.c_str());
        throw PackError("cannot write " + Printable(path));
    }
}

// "--name value" options and "--name" flags, followed by positional arguments.
struct Arguments {
    std::map<std::wstring, std::wstring> options;
    std::vector<std::wstring> flags;
    std::vector<std::wstring> positional;

    bool Has(const wchar_t* name) const { return options.contains(name); }
    bool HasFlag(const wchar_t* name) const {
        return std::find(flags.begin(), flags.end(), name) != flags.end();
    }
};

bool IsOneOf(const std::wstring& arg, std::initializer_list<const wchar_t*> names) {
    return std::any_of(names.begin(), names.end(),
                       [&](const wchar_t* name) { return arg == name; });
}

Arguments SplitArguments(const std::vector<std::wstring>& args,
                         std::initializer_list<const wchar_t*> known,
                         std::initializer_list<const wchar_t*> knownFlags = {}) {
    Arguments out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!args[i].starts_with(L"--")) {
            out.positional.push_back(args[i]);
            continue;
        }
        if (IsOneOf(args[i], knownFlags)) {
            out.flags.push_back(args[i]);
            continue;
        }
        if (!IsOneOf(args[i], known))
            throw UsageError("unknown option " + Printable(args[i]));
        if (i + 1 >= args.size())
            throw UsageError(Printable(args[i]) + " needs a value");
        out.options[args[i]] = args[i + 1];
        ++i;
    }
    return out;
}

std::wstring RequireOption(const Arguments& args, const wchar_t* name) {
    auto found = args.options.find(name);
    if (found == args.options.end())
        throw UsageError(Printable(name) + " is required");
    return found->second;
}

unsigned CodePageOption(const Arguments& args, unsigned fallback) {
    auto found = args.options.find(L"--codepage");
    if (found == args.options.end())
        return fallback;
    wchar_t* end = nullptr;
    unsigned long value = wcstoul(found->second.c_str(), &end, 10);
    if (found->second.empty() || *end != L'\0' || value == 0 || value > 65535)
        throw UsageError("--codepage needs a code page number, e.g. 936");
    return static_cast<unsigned>(value);
}

void RequirePositional(const Arguments& args, size_t count) {
    if (args.positional.size() != count)
        throw UsageError("expected " + std::to_string(count) + " file names, got " +
                         std::to_string(args.positional.size()));
}

void RequirePairs(const Arguments& args) {
    if (args.positional.empty() || args.positional.size() % 2 != 0)
        throw UsageError("expected INPUT OUTPUT pairs of file names, got " +
                         std::to_string(args.positional.size()) + " names");
}

using PairAction = std::function<void(const std::wstring& input, const std::wstring& output)>;

// Runs `action` on each INPUT OUTPUT pair (RequirePairs checked them). A
// single pair fails as the command always did; of several, every pair is
// tried and each failure named on its own line.
int ForEachPair(const Arguments& args, const PairAction& action) {
    const std::vector<std::wstring>& names = args.positional;
    if (names.size() == 2) {
        action(names[0], names[1]);
        return 0;
    }
    int failures = 0;
    for (size_t i = 0; i < names.size(); i += 2) {
        try {
            action(names[i], names[i + 1]);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "TovralPack: %s: %s\n", Printable(names[i]).c_str(), error.what());
            ++failures;
        }
    }
    return failures == 0 ? 0 : kExitFailure;
}

void RequireSomePositional(const Arguments& args) {
    if (args.positional.empty())
        throw UsageError("expected at least one file name");
}

int Keygen(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {}, {L"--signing"});
    RequirePositional(args, 2);
    // Checked before anything is written, so a refusal leaves no half-new pair.
    for (const std::wstring& path : args.positional) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            throw PackError(Printable(path) + " already exists; a key file is never overwritten");
    }
    const KeyUse use = args.HasFlag(L"--signing") ? KeyUse::Signing : KeyUse::Format;
    RsaPrivateKey key =
        GenerateRsaKey(use == KeyUse::Signing ? kSigningKeyBits : kModulusBits, SystemRandomFill);
    WriteOutput(args.positional[0], FormatPrivateKeyFile(key, use), true);
    WriteOutput(args.positional[1], FormatPublicKeyFile(key.PublicKey(), use), true);
    return 0;
}

// The format's key: the control only takes a 1024-bit one, so a signing key
// given by mistake is refused rather than making files nobody can open.
RsaPrivateKey ReadFormatKey(const std::wstring& path) {
    RsaPrivateKey key = ParsePrivateKeyFile(ReadInput(path));
    if (key.modulus.BitLength() != kModulusBits)
        throw PackError(Printable(path) + " has " + std::to_string(key.modulus.BitLength()) +
                        " bits; --key takes the 1024-bit key of the format (a signing key goes "
                        "to --sign)");
    return key;
}

RsaPrivateKey ReadSigningKey(const std::wstring& path) {
    try {
        return ParseSigningKeyFile(ReadInput(path));
    } catch (const PackError& error) {
        throw PackError(Printable(path) + ": " + error.what());
    }
}

// FILE.sig beside an encrypted file.
void WriteSignature(const RsaPrivateKey& signingKey, const std::wstring& path,
                    const std::string& file) {
    WriteOutput(SignaturePathOf(path), SignFile(signingKey, file), false);
}

int Encrypt(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--key", L"--sign", L"--encoding", L"--codepage"});
    RequirePairs(args);
    RsaPrivateKey key = ReadFormatKey(RequireOption(args, L"--key"));
    std::optional<RsaPrivateKey> signingKey;
    if (args.Has(L"--sign"))
        signingKey = ReadSigningKey(RequireOption(args, L"--sign"));
    BodyEncoding encoding = BodyEncoding::Utf8;
    if (auto found = args.options.find(L"--encoding"); found != args.options.end()) {
        std::optional<BodyEncoding> parsed = ParseBodyEncoding(Printable(found->second));
        if (!parsed)
            throw UsageError("--encoding must be utf8, utf16, ansi or utf32marker");
        encoding = *parsed;
    }
    unsigned codePage = CodePageOption(args, kDefaultAnsiCodePage);
    return ForEachPair(args, [&](const std::wstring& input, const std::wstring& output) {
        std::wstring text = Utf8ToWide(ReadInput(input));
        const std::string file = EncryptText(key, text, encoding, codePage, SystemRandomFill);
        WriteOutput(output, file, false);
        if (signingKey) {
            try {
                WriteSignature(*signingKey, output, file);
            } catch (...) {
                DeleteFileW(output.c_str()); // never a file without its signature
                throw;
            }
        } else if (DeleteFileW(SignaturePathOf(output).c_str())) {
            // The old signature belonged to the file just replaced.
            std::fprintf(stderr, "TovralPack: removed %s, the signature of the replaced file\n",
                         Printable(SignaturePathOf(output)).c_str());
        }
    });
}

// Signs encrypted files as they are (the bank's stored files keep their bytes).
int Sign(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--sign"});
    RequireSomePositional(args);
    RsaPrivateKey signingKey = ReadSigningKey(RequireOption(args, L"--sign"));
    for (const std::wstring& path : args.positional)
        WriteSignature(signingKey, path, ReadInput(path));
    return 0;
}

// Checks files as the control does, with the same CryptoAPI verification.
int Verify(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--pub"});
    RequireSomePositional(args);
    const std::wstring keyPath = RequireOption(args, L"--pub");
    RsaPublicKey key;
    try {
        key = ParseSigningPublicKeyFile(ReadInput(keyPath));
    } catch (const PackError& error) {
        throw PackError(Printable(keyPath) + ": " + error.what());
    }
    int failures = 0;
    for (const std::wstring& path : args.positional) {
        switch (VerifyDetachedSignature(path, ReadInput(path), key)) {
        case SignatureVerdict::Verified:
            std::printf("%s: signature verified\n", Printable(path).c_str());
            continue;
        case SignatureVerdict::Missing:
            std::fprintf(stderr, "%s: no signature file beside it\n", Printable(path).c_str());
            break;
        case SignatureVerdict::Invalid:
            std::fprintf(stderr, "%s: the signature does not verify\n", Printable(path).c_str());
            break;
        }
        ++failures;
    }
    return failures == 0 ? 0 : kExitFailure;
}

int Decrypt(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--pub", L"--codepage"});
    RequirePairs(args);
    RsaPublicKey key = ParsePublicKeyFile(ReadInput(RequireOption(args, L"--pub")));
    unsigned codePage = CodePageOption(args, CP_THREAD_ACP);
    CDravikCrypto crypto(key);
    const bool several = args.positional.size() > 2;
    return ForEachPair(args, [&](const std::wstring& input, const std::wstring& output) {
        std::optional<std::string> body = crypto.DecryptBody(ReadInput(input));
        if (!body)
            throw PackError(Printable(input) + " cannot be decrypted: it is cut short or its "
                                               "key block is not a number");
        if (body->size() >= 4 && body->starts_with(std::string_view("\x00\x00\xFF\xFE", 4)))
            std::fprintf(stderr,
                         "warning: %sthe body uses the unsupported 00 00 FF FE form; the control "
                         "reads it as empty text\n",
                         several ? (Printable(input) + ": ").c_str() : "");
        WriteOutput(output, WideToUtf8(DecodeConfigText(*body, codePage)), false);
    });
}

int Run(const std::vector<std::wstring>& args) {
    if (args.empty())
        throw UsageError("no command given");
    std::vector<std::wstring> rest(args.begin() + 1, args.end());
    if (args[0] == L"keygen")
        return Keygen(rest);
    if (args[0] == L"encrypt")
        return Encrypt(rest);
    if (args[0] == L"decrypt")
        return Decrypt(rest);
    if (args[0] == L"sign")
        return Sign(rest);
    if (args[0] == L"verify")
        return Verify(rest);
    throw UsageError("unknown command " + Printable(args[0]));
}

} // namespace

int main() {
    try {
        return Run(CommandLineArguments());
    } catch (const UsageError& error) {
        std::fprintf(stderr, "TovralPack: %s\n%s", error.what(), kUsage);
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "TovralPack: %s\n", error.what());
        return kExitFailure;
    }
}

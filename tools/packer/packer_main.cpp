// TovralPack: the bank's tool for the encrypted configuration files.
//   TovralPack keygen PRIVATE.key PUBLIC.pub
//   TovralPack encrypt --key PRIVATE.key [--encoding utf8|utf16|ansi|utf32marker]
//                      [--codepage N] INPUT OUTPUT
//   TovralPack decrypt --pub PUBLIC.pub [--codepage N] INPUT OUTPUT
// Input text is UTF-8; decrypt writes the recovered text as UTF-8.
#include "common/command_line.h"
#include "common/handles.h"
#include "config/text_decoding.h"
#include "tools/packer/packer_core.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
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
    "  TovralPack keygen PRIVATE.key PUBLIC.pub\n"
    "  TovralPack encrypt --key PRIVATE.key [--encoding utf8|utf16|ansi|utf32marker]\n"
    "                     [--codepage N] INPUT OUTPUT\n"
    "  TovralPack decrypt --pub PUBLIC.pub [--codepage N] INPUT OUTPUT\n";

std::string Printable(const std::wstring& text) {
    return WideToUtf8(text);
}

std::string ReadInput(const std::wstring& path) {
    std::optional<std::string> bytes = CDravikCrypto::ReadWholeFile(path);
    if (!bytes)
        throw PackError("cannot read " + Printable(path));
    return *bytes;
}

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
        written != bytes.size())
        throw PackError("cannot write " + Printable(path));
}

// "--name value" options followed by positional arguments.
struct Arguments {
    std::map<std::wstring, std::wstring> options;
    std::vector<std::wstring> positional;
};

Arguments SplitArguments(const std::vector<std::wstring>& args,
                         std::initializer_list<const wchar_t*> known) {
    Arguments out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!args[i].starts_with(L"--")) {
            out.positional.push_back(args[i]);
            continue;
        }
        bool isKnown = false;
        for (const wchar_t* name : known)
            isKnown = isKnown || args[i] == name;
        if (!isKnown)
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

int Keygen(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {});
    RequirePositional(args, 2);
    // Checked before anything is written, so a refusal leaves no half-new pair.
    for (const std::wstring& path : args.positional) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            throw PackError(Printable(path) + " already exists; a key file is never overwritten");
    }
    RsaPrivateKey key = GenerateRsaKey(kModulusBits, SystemRandomFill);
    WriteOutput(args.positional[0], FormatPrivateKeyFile(key), true);
    WriteOutput(args.positional[1], FormatPublicKeyFile(key.PublicKey()), true);
    return 0;
}

int Encrypt(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--key", L"--encoding", L"--codepage"});
    RequirePositional(args, 2);
    RsaPrivateKey key = ParsePrivateKeyFile(ReadInput(RequireOption(args, L"--key")));
    BodyEncoding encoding = BodyEncoding::Utf8;
    if (auto found = args.options.find(L"--encoding"); found != args.options.end()) {
        std::optional<BodyEncoding> parsed = ParseBodyEncoding(Printable(found->second));
        if (!parsed)
            throw UsageError("--encoding must be utf8, utf16, ansi or utf32marker");
        encoding = *parsed;
    }
    unsigned codePage = CodePageOption(args, kDefaultAnsiCodePage);
    std::wstring text = Utf8ToWide(ReadInput(args.positional[0]));
    WriteOutput(args.positional[1], EncryptText(key, text, encoding, codePage, SystemRandomFill),
                false);
    return 0;
}

int Decrypt(const std::vector<std::wstring>& raw) {
    Arguments args = SplitArguments(raw, {L"--pub", L"--codepage"});
    RequirePositional(args, 2);
    RsaPublicKey key = ParsePublicKeyFile(ReadInput(RequireOption(args, L"--pub")));
    unsigned codePage = CodePageOption(args, CP_THREAD_ACP);
    std::string file = ReadInput(args.positional[0]);
    CDravikCrypto crypto(key);
    std::optional<std::string> body = crypto.DecryptBody(file);
    if (!body)
        throw PackError(Printable(args.positional[0]) +
                        " cannot be decrypted: it is cut short or its key block is not a number");
    if (body->size() >= 4 && body->starts_with(std::string_view("\x00\x00\xFF\xFE", 4)))
        std::fputs("warning: the body uses the unsupported 00 00 FF FE form; the control reads "
                   "it as empty text\n",
                   stderr);
    WriteOutput(args.positional[1], WideToUtf8(DecodeConfigText(*body, codePage)), false);
    return 0;
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

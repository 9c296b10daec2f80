#include "sysconfig/root_certificates.h"

#include "common/registry.h"
#include "common/text.h"
#include "common/trace_sink.h"
#include "config/xml_node.h"
#include "sysconfig/root_cert_entries.h"

#include <optional>
#include <utility>

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Only the low byte is kept, so it is computed modulo 256 as the digits come:
// a long piece cannot overflow into a saturated value.
BYTE PieceByte(std::wstring_view piece) {
    size_t i = 0;
    bool negative = false;
    if (i < piece.size() && (piece[i] == L'+' || piece[i] == L'-'))
        negative = piece[i++] == L'-';
    if (i + 2 < piece.size() && piece[i] == L'0' &&
        (piece[i + 1] == L'x' || piece[i + 1] == L'X') && HexDigit(piece[i + 2]) >= 0)
        i += 2;
    unsigned value = 0;
    for (; i < piece.size() && HexDigit(piece[i]) >= 0; ++i)
        value = (value * 16 + static_cast<unsigned>(HexDigit(piece[i]))) & 0xFF;
    return static_cast<BYTE>(negative ? 0u - value : value);
}

// The store key is used as the catalogue names it and never created; the
// certificate's own key must be one name below it, so that a catalogue entry
// cannot aim the write at the store key itself or anywhere else.
bool UsablePaths(const CertificateEntry& entry) {
    return !entry.key.empty() && !entry.subKey.empty() &&
           entry.subKey.find(L'\\') == std::wstring::npos;
}

const wchar_t kWrittenEvent[] = L" 成功事件：证书写入成功";
const wchar_t kInstalledEvent[] = L"检测事件：证书已成功写入";
const wchar_t kNotInstalledEvent[] = L"检测事件：证书写入失败";

} // namespace

// What the write step did. A refused or failed write is not installed,
// whatever the key says; otherwise the status check decides (so, when the
// store key cannot be opened, an earlier install still counts).
enum class RootCertificates::Written { NoEntry, StoreNotOpened, Refused, Failed, Done };

std::vector<BYTE> DecodeCertificateBlob(std::wstring_view data) {
    std::wstring cleaned;
    cleaned.reserve(data.size());
    for (wchar_t c : data)
        if (!IsBlank(c))
            cleaned.push_back(c);
    std::vector<BYTE> bytes;
    size_t start = 0;
    while (start <= cleaned.size()) {
        size_t end = cleaned.find(L',', start);
        if (end == std::wstring::npos)
            end = cleaned.size();
        if (end > start)
            bytes.push_back(PieceByte(std::wstring_view(cleaned).substr(start, end - start)));
        start = end + 1;
    }
    return bytes;
}

RootCertificates::RootCertificates(const TraceSink& trace) : trace_(&trace) {}

bool RootCertificates::InstallRootCert(const XmlNode* catalogue, int id) const {
    Written written = WriteBlob(catalogue, id);
    bool trusted = written == Written::Done || written == Written::StoreNotOpened;
    bool installed = trusted && RootCertStatusIn(catalogue, id) == CertStatus::kPresent;
    Trace(id, installed ? kInstalledEvent : kNotInstalledEvent);
    return installed;
}

RootCertificates::Written RootCertificates::WriteBlob(const XmlNode* catalogue, int id) const {
    std::optional<CertificateEntry> entry =
        catalogue ? FindCertificate(catalogue, id, CertListLookup::Descendant) : std::nullopt;
    if (!entry)
        return Written::NoEntry;
    std::vector<BYTE> blob = DecodeCertificateBlob(entry->data);
    if (!UsablePaths(*entry) || blob.empty())
        return Written::Refused;
    RegKey store = OpenRegKey(CertificateRoot(entry->root), entry->key, KEY_CREATE_SUB_KEY);
    if (!store)
        return Written::StoreNotOpened;
    RegKey own;
    DWORD disposition = 0;
    if (RegCreateKeyExW(store.get(), entry->subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        own.out(), &disposition) != ERROR_SUCCESS)
        return Written::Failed;
    if (!WriteRegBinary(own.get(), L"Blob", blob.data(), blob.size())) {
        // A key left empty by us would read as an installed certificate.
        own.reset();
        if (disposition == REG_CREATED_NEW_KEY)
            RegDeleteKeyW(store.get(), entry->subKey.c_str());
        return Written::Failed;
    }
    Trace(id, kWrittenEvent);
    return Written::Done;
}

void RootCertificates::Trace(int id, const wchar_t* event) const {
    trace_->Write(FormatW(L"文件号：%d", id) + event);
}

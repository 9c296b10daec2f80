#include "config/listed_file.h"

#include "common/files.h"
#include "common/text.h"
#include "crypto/checksum.h"
#include "crypto/sha256.h"
#include "config/xml_node.h"

#include <optional>

ListedChecksums ListedChecksumsOf(const XmlNode& element) {
    return ListedChecksums{element.GetAttribute(L"mac", L""), element.GetAttribute(L"sha256", L"")};
}

ChecksumPass::ChecksumPass(bool withSha256) {
    if (withSha256)
        sha256_.emplace();
}

void ChecksumPass::Add(const void* data, std::size_t size) {
    crc_ = Crc32Update(crc_, data, size);
    if (sha256_)
        sha256_->Update(data, size);
}

FileChecksums ChecksumPass::Texts() const {
    std::optional<Sha256Digest> digest = Digest();
    return FileChecksums{ChecksumText(crc_), digest ? Sha256Text(*digest) : L""};
}

std::optional<Sha256Digest> ChecksumPass::Digest() const {
    return sha256_ ? sha256_->Finish() : std::nullopt;
}

FileChecksums FileChecksumsOf(const std::wstring& path, bool withSha256) {
    ChecksumPass pass(withSha256);
    const bool read = ReadDiskFileInBlocks(path, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           [&](const unsigned char* data, std::size_t size) {
                                               pass.Add(data, size);
                                               return true;
                                           });
    return read ? pass.Texts() : FileChecksums{}; // a half-read file has no checksums
}

FileChecksums ChecksumsOfBytes(std::string_view bytes, bool withSha256) {
    ChecksumPass pass(withSha256);
    pass.Add(bytes.data(), bytes.size());
    return pass.Texts();
}

bool ChecksumsMatchListed(const FileChecksums& actual, const ListedChecksums& listed) {
    if (actual.mac.empty() || !EqualsNoCase(actual.mac, listed.mac))
        return false;
    if (listed.sha256.empty())
        return true;
    return !actual.sha256.empty() && EqualsNoCase(actual.sha256, listed.sha256);
}

bool FileMatchesListed(const std::wstring& path, const ListedChecksums& listed) {
    return ChecksumsMatchListed(FileChecksumsOf(path, !listed.sha256.empty()), listed);
}

bool BytesMatchListed(std::string_view bytes, const ListedChecksums& listed) {
    return ChecksumsMatchListed(ChecksumsOfBytes(bytes, !listed.sha256.empty()), listed);
}

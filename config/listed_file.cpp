#include "config/listed_file.h"

#include "common/text.h"
#include "config/checksum.h"
#include "config/sha256.h"
#include "config/xml_node.h"

ListedChecksums ListedChecksumsOf(const XmlNode& element) {
    return ListedChecksums{element.GetAttribute(L"mac", L""), element.GetAttribute(L"sha256", L"")};
}

bool FileMatchesListed(const std::wstring& path, const ListedChecksums& listed) {
    const std::wstring crc = FileChecksumText(path);
    if (crc.empty() || !EqualsNoCase(crc, listed.mac))
        return false;
    if (listed.sha256.empty())
        return true;
    const std::wstring sha256 = FileSha256Text(path);
    return !sha256.empty() && EqualsNoCase(sha256, listed.sha256);
}

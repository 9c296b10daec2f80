// Installs the catalogue's root certificates: each is a "Blob" value written
// straight into a certificate store key of the registry, then checked and
// reported to the page as installed or not.
#pragma once

#include "common/page_messages.h"
#include "sysconfig/component_inputs.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

class TraceSink;
struct ComponentContext;

// The bytes of a "Data" text: hexadecimal numbers separated by commas, with
// white space anywhere ignored. Each non-empty piece gives one byte, the low
// 8 bits of its value; empty pieces give none. A piece is read as the C
// hexadecimal conversion reads it (sign, "0x", digits up to the first other
// character; no digits at all is 0), without its overflow limit.
std::vector<BYTE> DecodeCertificateBlob(std::wstring_view data);

class RootCertificates {
public:
    RootCertificates(const TraceSink& trace, CatalogueSource catalogue, PagePoster post);
    explicit RootCertificates(const ComponentContext& context);

    // Writes the certificate with this id, checks it and posts installed
    // completed (id, -1) or (id, 0). Any thread; joins an apartment for the XML.
    void InstallRootCert(int id) const;
    // 3 when the certificate's key exists, 4 when not, 0 without an entry.
    int RootCertStatus(int id) const;

private:
    enum class Written;
    Written WriteBlob(int id) const;
    void Trace(int id, const wchar_t* event) const;

    const TraceSink* trace_;
    CatalogueSource catalogue_;
    PagePoster post_;
};

// Installs the catalogue's root certificates: each is a "Blob" value written
// straight into a certificate store key of the registry, then checked; the
// download chain's reporter tells the page whether it is installed.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

class TraceSink;
class XmlNode;

// The bytes of a "Data" text: hexadecimal numbers separated by commas, with
// white space anywhere ignored. Each non-empty piece gives one byte, the low
// 8 bits of its value; empty pieces give none. A piece is read as the C
// hexadecimal conversion reads it (sign, "0x", digits up to the first other
// character; no digits at all is 0), without its overflow limit.
std::vector<BYTE> DecodeCertificateBlob(std::wstring_view data);

class RootCertificates {
public:
    explicit RootCertificates(const TraceSink& trace);

    // Writes the certificate with this id from the catalogue snapshot and
    // checks it; true when it is installed. Any thread.
    bool InstallRootCert(const XmlNode* catalogue, int id) const;

private:
    enum class Written;
    Written WriteBlob(const XmlNode* catalogue, int id) const;
    void Trace(int id, const wchar_t* event) const;

    const TraceSink* trace_;
};

#include "install/signature_files.h"

#include "common/files.h"
#include "crypto/signature.h"

#include <windows.h>

void FetchSignatureOf(const FetchFunction& fetch, const std::wstring& url,
                      const std::wstring& localPath) {
    const std::wstring signature = SignaturePathOf(localPath);
    DeleteFileW(signature.c_str());
    // A failed fetch may leave an empty or partial file behind.
    if (!fetch(FetchRequest{SignaturePathOf(url), signature, kLargestSignatureFile}))
        DeleteFileW(signature.c_str());
}

bool MoveWithSignature(const std::wstring& from, const std::wstring& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    const std::wstring fromSignature = SignaturePathOf(from);
    const std::wstring toSignature = SignaturePathOf(to);
    // A signature that cannot follow leaves the file without one, which a
    // required check refuses: never the old file's signature beside the new file.
    if (!IsExistingFile(fromSignature) ||
        !MoveFileExW(fromSignature.c_str(), toSignature.c_str(), MOVEFILE_REPLACE_EXISTING))
        DeleteFileW(toSignature.c_str());
    return true;
}

void DeleteWithSignature(const std::wstring& path) {
    DeleteFileW(path.c_str());
    DeleteFileW(SignaturePathOf(path).c_str());
}

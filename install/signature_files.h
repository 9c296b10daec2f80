// The detached signatures travel with their files: fetched from beside the
// file's URL, moved and deleted along with it. Whether a file needs one is
// decided only where it is decrypted (CDravikCrypto), so nothing here fails
// for want of a signature.
#pragma once

#include "common/fetch.h"

#include <string>

// Fetches url + ".sig" beside `localPath`. When the server has none, none is
// left there (not even one of an earlier file).
void FetchSignatureOf(const FetchFunction& fetch, const std::wstring& url,
                      const std::wstring& localPath);

// Moves a file over `to`, then its signature over the one of `to`; a file
// without a signature leaves none at `to`. False when the file itself could
// not be moved.
bool MoveWithSignature(const std::wstring& from, const std::wstring& to);

void DeleteWithSignature(const std::wstring& path);

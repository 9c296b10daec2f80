// Creating the folders of a path, parent first.
#pragma once

#include <string>
#include <vector>

// Normalises separators ("/" to "\", doubled "\" collapsed) and lists every
// prefix ending in a backslash, left to right; the last component is a file name.
std::vector<std::wstring> FolderChainOf(const std::wstring& path);

// Creates each folder of FolderChainOf(path); existing folders are fine. Returns 1.
int CreateFolderChain(const std::wstring& path);

#include "config/folder_chain.h"

#include "common/text.h"

#include <windows.h>

std::vector<std::wstring> FolderChainOf(const std::wstring& path) {
    std::wstring normal = ReplaceAll(path, L"/", L"\\");
    while (normal.find(L"\\\\") != std::wstring::npos)
        normal = ReplaceAll(normal, L"\\\\", L"\\");
    std::vector<std::wstring> chain;
    for (size_t pos = normal.find(L'\\'); pos != std::wstring::npos;
         pos = normal.find(L'\\', pos + 1))
        chain.push_back(normal.substr(0, pos + 1));
    return chain;
}

int CreateFolderChain(const std::wstring& path) {
    for (const std::wstring& folder : FolderChainOf(path))
        CreateDirectoryW(folder.c_str(), nullptr); // exists or not allowed: carry on
    return 1;
}

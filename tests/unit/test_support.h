// Helpers shared by the unit tests: throwaway folders and whole-file access.
#pragma once

#include <string>

// A fresh empty folder under %TEMP%, removed with its contents at destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder path, ending with a backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// A file of the source tree as Wine sees it (Z: maps the Linux root).
std::wstring SourcePath(const std::wstring& relative);

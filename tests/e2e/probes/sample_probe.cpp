// Looks at the sample components from inside Windows, the way the control will meet them.
// Prints "key=value" lines in UTF-8. Usage:
//   sample_probe check DLL        load DLL, call CheckApp_Veyr: code=, message=
//   sample_probe create CLSID     CoCreateInstance of an in-process class: hr=
//   sample_probe version FILE     version=a.b.c.d and description= of the version block
//   sample_probe cab CABINET      file= per file SetupIterateCabinetW reports
//   sample_probe open FILE        ShellExecuteExW "open", wait: exit= of the started process
//   sample_probe pid MS           print pid=, then live MS milliseconds
// Links nothing of the control: it stands where the control would.
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace {

void Print(const char* key, const wchar_t* value) {
    int size = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8.data(), size, nullptr, nullptr);
    std::printf("%s=%s\n", key, utf8.c_str());
}

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

int Check(const wchar_t* path) {
    struct CheckResult {
        int32_t code;
        const wchar_t* message;
    };
    using Entry = const CheckResult* (*)();
    std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree> library(LoadLibraryW(path));
    if (!library) {
        std::printf("load=%lu\n", GetLastError());
        return 3;
    }
    auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "CheckApp_Veyr")));
    if (entry == nullptr) {
        std::printf("entry=none\n");
        return 4;
    }
    const CheckResult* result = entry();
    std::printf("code=%d\n", static_cast<int>(result->code));
    Print("message", result->message);
    return 0;
}

int Create(const wchar_t* clsidText) {
    CLSID clsid;
    if (FAILED(CLSIDFromString(clsidText, &clsid)))
        return 2;
    CoInitialize(nullptr);
    IUnknown* object = nullptr;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, (void**)&object);
    if (object != nullptr)
        object->Release();
    std::printf("hr=0x%08lx\n", static_cast<unsigned long>(hr));
    CoUninitialize();
    return 0;
}

int Version(const wchar_t* path) {
    DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    std::string block(size, '\0');
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data()))
        return 3;
    VS_FIXEDFILEINFO* fixed = nullptr;
    wchar_t* description = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        !VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileDescription",
                        reinterpret_cast<void**>(&description), &length))
        return 4;
    std::printf("version=%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS));
    Print("description", description);
    return 0;
}

UINT CALLBACK ListCabinetFile(PVOID, UINT notification, UINT_PTR param1, UINT_PTR) {
    if (notification != SPFILENOTIFY_FILEINCABINET)
        return NO_ERROR;
    Print("file", reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1)->NameInCabinet);
    return FILEOP_SKIP;
}

int Cabinet(const wchar_t* path) {
    return SetupIterateCabinetW(path, 0, ListCabinetFile, nullptr) ? 0 : 3;
}

int Open(const wchar_t* path) {
    SHELLEXECUTEINFOW info{sizeof(info)};
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = path;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info) || info.hProcess == nullptr)
        return 3;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    std::printf("exit=%lu\n", code);
    return 0;
}

int Live(const wchar_t* milliseconds) {
    std::printf("pid=%lu\n", GetCurrentProcessId());
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(milliseconds)));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: sample_probe check|create|version|cab|open|pid ARG\n");
        return 2;
    }
    std::wstring command = argv[1];
    if (command == L"check")
        return Check(argv[2]);
    if (command == L"create")
        return Create(argv[2]);
    if (command == L"version")
        return Version(argv[2]);
    if (command == L"cab")
        return Cabinet(argv[2]);
    if (command == L"open")
        return Open(argv[2]);
    if (command == L"pid")
        return Live(argv[2]);
    return 2;
}

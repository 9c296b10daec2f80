// Installs and creates the packaged control from inside Windows. Prints
// "key=value" lines in UTF-8. Usage:
//   package_probe cab CABINET   the control's own cabinet installer on CABINET: result=
//   package_probe create CLASS  CoCreateInstance by class id or ProgID: hr=, and server=
//                               the file the object was loaded from
//   package_probe user CLSID    what COM does for a per-user class, by hand (Wine 8 looks
//                               only machine-wide): the server named under
//                               HKCU\Software\Classes loaded, its class object asked: hr=, server=
#include "install/cab_package.h"
#include "install/install_locations.h"

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(size > 0 ? size - 1 : 0));
    return utf8;
}

// Trace lines of the installer go to the error output, where a failing test shows them.
class ErrorOutputSink final : public TraceSink {
public:
    void Write(const std::wstring& text, int) const override {
        std::fprintf(stderr, "trace %s\n", Utf8(text).c_str());
    }
};

int InstallCabinet(const wchar_t* path) {
    ErrorOutputSink trace;
    const InstallFolders folders = InstallFolders::OfThisSystem(L"", L"");
    CCabPackage package(trace, CabinetFolders{folders.systemFolder, folders.windowsFolder});
    int result = package.InstallCabinet(path);
    std::fflush(stdout); // the extraction call-back wrote there with wprintf
    std::printf("result=%d\n", result);
    return 0;
}

// The module that holds the object's code: a browser loads the registered
// file, and this tells which copy that was.
std::wstring ServerOf(IUnknown* object) {
    void** vtable = *reinterpret_cast<void***>(object);
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(vtable[0]), &module))
        return L"";
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

int Create(const wchar_t* name) {
    CoInitialize(nullptr);
    CLSID clsid;
    HRESULT hr = name[0] == L'{' ? CLSIDFromString(name, &clsid) : CLSIDFromProgID(name, &clsid);
    IDispatch* object = nullptr;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object));
    std::printf("hr=0x%08lx\n", static_cast<unsigned long>(hr));
    if (object != nullptr) {
        std::printf("server=%s\n", Utf8(ServerOf(object)).c_str());
        object->Release();
    }
    CoUninitialize();
    return 0;
}

int CreateFromUserServer(const wchar_t* clsidText) {
    CLSID clsid;
    if (FAILED(CLSIDFromString(clsidText, &clsid)))
        return 2;
    std::wstring key =
        std::wstring(L"Software\\Classes\\CLSID\\") + clsidText + L"\\InprocServer32";
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof(path);
    LSTATUS status =
        RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
    if (status != ERROR_SUCCESS) {
        std::printf("hr=0x%08lx\n", static_cast<unsigned long>(HRESULT_FROM_WIN32(status)));
        return 0;
    }
    CoInitialize(nullptr);
    HRESULT hr = S_OK;
    HMODULE server = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto entry = server ? reinterpret_cast<GetClassObject>(
                              reinterpret_cast<void*>(GetProcAddress(server, "DllGetClassObject")))
                        : nullptr;
    IClassFactory* factory = nullptr;
    IDispatch* object = nullptr;
    if (server == nullptr)
        hr = HRESULT_FROM_WIN32(GetLastError());
    else if (entry == nullptr)
        hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    else
        hr = entry(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (factory != nullptr) {
        hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
        factory->Release();
    }
    std::printf("hr=0x%08lx\n", static_cast<unsigned long>(hr));
    if (object != nullptr) {
        std::printf("server=%s\n", Utf8(ServerOf(object)).c_str());
        object->Release();
    }
    CoUninitialize(); // the library stays loaded until the process ends, as COM keeps it
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"cab")
        return InstallCabinet(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"create")
        return Create(argv[2]);
    if (argc == 3 && std::wstring(argv[1]) == L"user")
        return CreateFromUserServer(argv[2]);
    std::fprintf(stderr,
                 "usage: package_probe cab CABINET | create CLSID-OR-PROGID | user CLSID\n");
    return 2;
}

// Linked into the control DLL alone, ahead of the C++ runtime: the runtime's
// default terminate handler is the only caller of the demangler, which with
// the formatted printing it needs adds 60 KB to the shipped DLL. A
// terminate message, which nobody in a browser reads, then names the thrown
// type by its mangled name (the handler prints that when demangling fails).
#include <cstddef>

extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status) {
    if (status != nullptr) {
        *status = -2; // "not a valid mangled name": the caller keeps the name as it is
    }
    return nullptr;
}

// The bank's availability self-test of one component: the control loads the library,
// calls its entry and reports the record. CHECK_CODE and CHECK_MESSAGE make the result,
// CHECK_ENTRY the function's name (the library without the entry exports another).
// CHECK_PUMPS makes it dispatch the messages waiting on the calling thread first, as a
// library that shows a progress window does: the page's call-backs then run inside it.
//
// The entry takes no arguments, so cdecl and stdcall are the same call (nothing pushed,
// nothing popped); cdecl keeps the symbol free of the @N suffix.
#include <cstdint>

#ifdef CHECK_PUMPS
#include <windows.h>
#endif

struct CheckResult {
    int32_t code;
    const wchar_t* message;
};

extern "C" const CheckResult* CHECK_ENTRY() {
#ifdef CHECK_PUMPS
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
#endif
    static const CheckResult result{CHECK_CODE, CHECK_MESSAGE};
    return &result;
}

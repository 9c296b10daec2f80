// The bank's availability self-test of one component: the control loads the library,
// calls its entry and reports the record. CHECK_CODE and CHECK_MESSAGE make the result,
// CHECK_ENTRY the function's name (the library without the entry exports another).
//
// The entry takes no arguments, so cdecl and stdcall are the same call (nothing pushed,
// nothing popped); cdecl keeps the symbol free of the @N suffix.
#include <cstdint>

struct CheckResult {
    int32_t code;
    const wchar_t* message;
};

extern "C" const CheckResult* CHECK_ENTRY() {
    static const CheckResult result{CHECK_CODE, CHECK_MESSAGE};
    return &result;
}

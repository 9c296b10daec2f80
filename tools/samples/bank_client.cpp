// Stands in for the bank's installed client application: the control compares this file
// with the server's copy by checksum and reads its version block. It does nothing.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}

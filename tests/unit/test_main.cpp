// Entry of every unit-test program: COM on the main thread, as on the page's thread.
#include <gtest/gtest.h>

#include <objbase.h>

int main(int argc, char** argv) {
    CoInitialize(nullptr);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}

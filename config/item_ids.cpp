#include "config/item_ids.h"

#include <cwchar>

wchar_t FileTypeDigit(int id) {
    wchar_t text[16] = {};
    swprintf(text, 16, L"%d", id);
    return text[0];
}

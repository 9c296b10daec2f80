// Line output of the page host. Tests read the host's standard output while it
// runs and may kill it, so every line goes out at once (no buffering), and lines
// of different threads never mix.
#pragma once

#include <string_view>

enum class OutputStream { Out, Err };

// Writes the text and a line feed as UTF-8.
void WriteLine(OutputStream stream, std::wstring_view text);

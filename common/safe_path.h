// Names and relative paths taken from the page, the server or a file are
// hostile: this is the one place that decides whether such a name may be
// joined to a folder, so nothing is ever written outside the folder meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A single path component that names an ordinary file in the folder it is
// joined to: not empty, no separators, no "." or "..", no drive or stream
// colon, no wildcard or control characters, no trailing dot or blank, and no
// device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension).
bool IsSafeFileName(std::wstring_view name);

// A name Windows maps to a device in every folder, whatever its extension
// (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9): opening it reaches
// the device, whose reads may block for ever.
bool IsDeviceName(std::wstring_view name);

// `folder` (ending in a backslash) joined with a relative path whose
// components are separated by "/" or "\" (doubled separators collapse); every
// component must be a safe file name. Nothing when any is not.
std::optional<std::wstring> JoinConfined(const std::wstring& folder, std::wstring_view relative);

// A folder text from a list that may be used as a destination or location: a
// local absolute path ("C:\..." or "C:/..."). UNC paths would send the user's
// network credentials to their host, and device or relative paths lead
// anywhere; those are refused.
bool IsLocalAbsoluteFolder(std::wstring_view folder);

// Resource identifiers of Tovral.DLL.
#pragma once

#define IDR_TOVRAL_APPID 101
#define IDR_DOWNLOAD_CLASS 102
#define IDD_COLLAPSE_INFO 103
#define IDC_COLLAPSE_TEXT 202

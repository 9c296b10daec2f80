// Registration of the DownLoad class: the AppID and class registry scripts
// (resources 101 and 102) and the embedded type library.
#pragma once

#include "control/registrar.h"

#include <windows.h>

HRESULT RegisterServer(HINSTANCE module, RegistryScope scope);
HRESULT UnregisterServer(HINSTANCE module, RegistryScope scope);

// The class object of the DownLoad class.
#pragma once

#include <unknwn.h>

HRESULT GetDownLoadClassObject(REFIID riid, void** object);

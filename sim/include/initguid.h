// Where Windows code includes <initguid.h> to instantiate the GUIDs of the headers that
// follow. On the host every DEFINE_GUID is already a definition, so this only supplies it.
#pragma once

#include "win/guid.h"

// USB 1.x descriptor definitions: kept under their historical header name,
// they live in usbspec.h with the rest of the wire layouts.
#pragma once

#include "usbspec.h"

// USB driver interface umbrella: URBs and the internal I/O control codes.
#pragma once

#include "usb.h"
#include "usbioctl.h"

// The toolchain's usbdlib.h declares the usbd exports without C linkage; C++ drivers
// need them as the C functions usbd.sys exports.
#pragma once
extern "C" {
#include_next <usbdlib.h>
}

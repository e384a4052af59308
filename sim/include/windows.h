// The Win32 API of the simulated PC's applications (host build): our own declarations of
// the documented names, implemented by sim/win32 over the simulated I/O manager.
#pragma once

#include "nt/types.h"
#include "nt/status.h"
#include "win/winerror.h"
#include "win/winbase.h"
#include "win/commapi.h"
#include "win/ioctl.h"
#include "win/kernel32.h"

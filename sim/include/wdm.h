// Kernel-mode driver interface of the simulated PC, declared from the documented API.
#pragma once

#include "nt/types.h"
#include "nt/status.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ps.h"
#if __has_include("nt/rtl.h")
#include "nt/rtl.h"
#endif
#if __has_include("nt/registry.h")
#include "nt/registry.h"
#endif
#if __has_include("nt/io.h")
#include "nt/io.h"
#endif
#if __has_include("nt/po.h")
#include "nt/po.h"
#endif

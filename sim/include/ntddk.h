// Kernel-mode driver interface (the WDM set plus the NT-only additions).
#pragma once

#include "wdm.h"

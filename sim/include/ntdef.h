// Base NT definitions.
#pragma once

#include "nt/types.h"
#include "nt/status.h"

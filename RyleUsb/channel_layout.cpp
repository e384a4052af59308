// Compiles the channel contract into the bus driver so the 32-bit build checks the
// binding record's byte layout at every build.
#include "channel.h"

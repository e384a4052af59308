// Static constructors of a driver image in the host build: the loader runs them while it
// maps the image, before DriverEntry, so the entry has nothing left to run. Their
// destructors reach atexit (the image is built with -fno-use-cxa-atexit) and the exit list.
#include "wdm_driver.h"

void WdmRunStaticConstructors() {}

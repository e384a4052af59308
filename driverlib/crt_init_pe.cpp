// Static constructors of a PE driver image: nothing runs them before DriverEntry, so the
// entry walks the linker's constructor table (count or -1, entries, null), last first.
#include "wdm_driver.h"

typedef void (*WdmConstructor)(void);
extern WdmConstructor __CTOR_LIST__[];

void WdmRunStaticConstructors() {
  ULONG count = 0;
  while (__CTOR_LIST__[count + 1]) count++;
  for (ULONG i = count; i >= 1; i--) __CTOR_LIST__[i]();
}

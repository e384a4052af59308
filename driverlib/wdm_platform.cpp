// Platform detection: the 98 platform is recognised from the registry alone, by a
// "Class" key under Services and none under Control.
#include "wdm_base.h"

BOOLEAN IsWin98Platform = FALSE;

static BOOLEAN ClassKeyExists(PCWSTR root) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, root);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return FALSE;
  ZwClose(key);
  return TRUE;
}

void WdmDetectPlatform() {
  IsWin98Platform = !ClassKeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class") &&
                    ClassKeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class");
}

/* Compiled as C: the library's header must be usable from C. */
#include "tessaly/platform/tessaly_platform.h"

#include <stdlib.h>
#include <string.h>

/* 1 when deleting a key that does not exist gives the empty success, through the header alone. */
int tessalyCHeaderDeletesMissingKey(void) {
  char* text = enclaveDeleteKeyJson("com.example.from-c");
  int ok = text != NULL && strcmp(text, "{\"type\":\"Success\",\"content\":[]}") == 0;
  tessalyFreeText(text);
  return ok;
}

int tessalyCHeaderStatusSize(void) { return (int)sizeof(TessalyBiometricStatus); }

// SPDX-License-Identifier: ISC
/* Preloaded into a host by the tests: every call of XOpenDisplay is noted in the file that
 * QUENNET_X_TRAP_FILE names, and no connection is opened. A host that never shows the editor must
 * never get here. */
#include <stdio.h>
#include <stdlib.h>

typedef struct _XDisplay Display;

Display* XOpenDisplay(const char* name)
{
  const char* path = getenv("QUENNET_X_TRAP_FILE");
  FILE* file = path ? fopen(path, "a") : NULL;
  if (file) {
    fprintf(file, "XOpenDisplay(%s)\n", name ? name : "NULL");
    fclose(file);
  }
  return NULL;
}

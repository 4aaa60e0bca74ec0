/* The public header compiles as strict C and the library loads like any host's. */
#include "synology_ds.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    if (strcmp(ds_version(), "2.0.0") != 0) {
        fprintf(stderr, "unexpected version %s\n", ds_version());
        return 1;
    }
    if (ds_is_connected() != 0 || ds_last_error()[0] != '\0') return 1;
    return 0;
}

#include "synology_ds.h"
#include "synology.h"

#include "client_fixture.h"

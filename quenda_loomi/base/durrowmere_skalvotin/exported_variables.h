// The export table moved to support/engine_variables.h, shared by the
// configuration module and its importers.  Kept only until the topic module
// includes that header; remove with that change.
#pragma once

#include "support/engine_variables.h"

// Sets or clears one environment variable for the life of the object.
#pragma once

#include "support/EnvGuard.h"

using ScopedEnv = poshark::testing::EnvGuard;

#pragma once

// Executors and strands live in base/Executor.h, so that the platform layers can be given one.
#include "base/Executor.h"

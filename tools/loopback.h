// The benchmarks' names for the harness's loopback helpers.
#pragma once

#include "tools/harness/loopback.h"

using harness::free_port;
using harness::loopback;

#include "tools/nf5_synth.h"

// Turns the relay stream back into flow records.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "viewer/viewer.h"

// Reads exactly n bytes unless the stream ends (the count so far) or a read
// fails (-1). EINTR is retried.
ssize_t read_n(int fd, void* buffer, std::size_t n);

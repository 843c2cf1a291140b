// The fake capture device behind the path fake_path, for a test binary
// linked with --wrap for the system calls of the capture class; calls about
// other paths, descriptors and mappings go to the real system.
#pragma once

#include "fake_capture.h"

#include <time.h>

#include <cstddef>

extern const char fake_path[];
// The limit of the last wait on the device.
extern timespec fake_wait_limit;
// malloc or calloc of this many bytes fails while the device is open.
extern size_t fake_failing_allocation;

// Allocations made with malloc or calloc and not yet freed.
size_t fake_live_allocations();
// Gives back what the class left behind and starts a fresh device.
void fake_reset();

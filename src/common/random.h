// Randomness from the kernel. Boards whose clock is unset at boot share the time
// and, in a fixed boot order, the pid, so nothing random may be derived from those.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills buf with len random bytes from getrandom (the urandom device on kernels
// without it). 0, or -1 when no random source answers.
int random_bytes(void *buf, size_t len);

// Uniform in [0, bound); bound must be positive. Falls back to 0 only when no
// random source answers at all.
uint32_t random_below(uint32_t bound);

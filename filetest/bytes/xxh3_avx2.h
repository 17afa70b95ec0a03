#pragma once

#include <cstddef>

// XXH3_128bits_update compiled for AVX2: call it only where the processor has AVX2
// (HARROWBIT_XXH3_AVX2 is defined where it is built at all).
struct XXH3_state_s;
void Xxh3UpdateAvx2(XXH3_state_s* state, const void* data, std::size_t size);

#pragma once

#include <cstdint>

// How many terminal columns one Unicode character takes (2 for wide East Asian
// characters, 0 for combining marks), from the system's own Unicode tables; -1 when they
// do not know it.
int CharColumns(uint32_t codePoint);

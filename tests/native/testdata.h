// Data for tests: reproducible byte patterns.
#pragma once

#include <stddef.h>

#include <vector>

// n bytes that differ from packet to packet and from one variant to the next, with
// every bit used.
inline std::vector<unsigned char> TestPattern(size_t n, unsigned variant)
{
    std::vector<unsigned char> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (unsigned char)(i * 37 + variant * 11 + (i >> 3));
    return b;
}

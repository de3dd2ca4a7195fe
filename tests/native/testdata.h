// Data for tests: reproducible byte patterns, product IDs and whole host
// messages.
#pragma once

#include <stddef.h>
#include <string.h>

#include <vector>

#include "protocol.h"

// n bytes that differ from packet to packet and from one variant to the next, with
// every bit used.
inline std::vector<unsigned char> TestPattern(size_t n, unsigned variant)
{
    std::vector<unsigned char> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (unsigned char)(i * 37 + variant * 11 + (i >> 3));
    return b;
}

// A file header that carries only a product ID.
inline FileInfo ProductId(unsigned char a, unsigned char b = 0xFF, unsigned char c = 0xFF)
{
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    fi.product_id[0] = a;
    fi.product_id[1] = b;
    fi.product_id[2] = c;
    return fi;
}

// A whole message as the updater sends it: head, payload, F7.
inline std::vector<unsigned char> HostMessage(const FileInfo& fi, unsigned char code,
                                              const std::vector<unsigned char>& payload)
{
    unsigned char tx[16];
    int n = BuildMessageHead(tx, &fi, code);
    std::vector<unsigned char> b(tx, tx + n);
    b.insert(b.end(), payload.begin(), payload.end());
    b.push_back(0xF7);
    return b;
}

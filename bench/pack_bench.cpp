// PackSevenBit throughput next to memcpy of the same bytes. Prints only.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "protocol.h"

static double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main()
{
    const size_t kPacket = 32768;
    const int kRounds = 4096; // 128 MiB in all
    std::vector<unsigned char> src(kPacket), dst(kPacket + kPacket / 7 + 8);
    for (size_t i = 0; i < kPacket; ++i)
        src[i] = (unsigned char)(i * 7 + (i >> 5));
    unsigned sink = 0;

    double t0 = Now();
    for (int r = 0; r < kRounds; ++r) {
        unsigned char sum = 0;
        sink += PackSevenBit(src.data(), dst.data(), (uint32_t)kPacket, &sum) + sum;
        src[r % kPacket] ^= 1;
    }
    double pack = Now() - t0;

    t0 = Now();
    for (int r = 0; r < kRounds; ++r) {
        memcpy(dst.data(), src.data(), kPacket);
        sink += dst[r % kPacket];
        src[r % kPacket] ^= 1;
    }
    double copy = Now() - t0;

    double mib = (double)kPacket * kRounds / (1024.0 * 1024.0);
    printf("PackSevenBit %8.1f MiB/s   memcpy %8.1f MiB/s   (%.0f MiB, packets of %zu bytes, check %u)\n",
           mib / pack, mib / copy, mib, kPacket, sink & 1);
    return 0;
}

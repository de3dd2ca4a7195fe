#include "benchrun.h"

#include "link.h"
#include "protocol.h"
#include "update.h"

using namespace testbed;

namespace bench {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b.QuadPart - a.QuadPart) / (double)f.QuadPart;
}

double RunSeconds(const char* path, int link, bool with_window)
{
    const DWORD kRunLimitMs = 600000;
    LARGE_INTEGER t0, t1;
    int r = 1; // a failed run without window shows in the caller's flash check
    if (with_window) {
        TestWindow w;
        QueryPerformanceCounter(&t0);
        w.Start(path, 0, link);
        r = w.WaitForEnd(kRunLimitMs);
        QueryPerformanceCounter(&t1);
    } else {
        SetUpdateProgressBar(NULL);
        QueryPerformanceCounter(&t0);
        StartUpdate(NULL, path, link, 0);
        while (!IsUpdateFinished())
            Sleep(1);
        QueryPerformanceCounter(&t1);
    }
    CloseUpdateThread();
    return r == 1 ? Seconds(t0, t1) : -1.0;
}

RunMessages BuildRunMessages(const BlockSpec& b, uint32_t packet)
{
    FileInfo fi = HeaderOf(b);
    RunMessages m;
    unsigned char tx[TX_BUFFER_SIZE];
    int n = BuildMessageHead(tx, &fi, MsgInquiry);
    tx[n++] = MSG_SYSEX_END;
    m.inquiry.assign(tx, tx + n);
    n = BuildMessageHead(tx, &fi, MsgVersionRequest);
    tx[n++] = fi.block_code;
    tx[n++] = MSG_SYSEX_END;
    m.version.assign(tx, tx + n);
    n = BuildMessageHead(tx, &fi, MsgSetMode);
    tx[n++] = 0; // packed
    tx[n++] = fi.block_code;
    Put28Bit(tx + n, fi.base_address);
    Put28Bit(tx + n + 4, fi.block_length);
    n += 8;
    tx[n++] = (unsigned char)(fi.version_major | 0x40);
    tx[n++] = fi.version_minor;
    Put28Bit(tx + n, packet);
    n += 4;
    tx[n++] = MSG_SYSEX_END;
    m.setmode.assign(tx, tx + n);
    for (uint32_t number = 0; number * packet < b.data.size(); ++number) {
        n = BuildMessageHead(tx, &fi, MsgData);
        Put28Bit(tx + n, number);
        m.heads.emplace_back(tx, tx + n + 4);
        unsigned char sum = 0;
        uint32_t length = PackSevenBit(b.data.data() + (size_t)number * packet, tx, packet, &sum);
        m.datas.emplace_back(tx, tx + length);
        m.tails.push_back({sum, MSG_SYSEX_END});
    }
    return m;
}

double Fastest(double best, double t)
{
    if (best < 0 || t < 0)
        return -1.0;
    return t < best ? t : best;
}

double PlatformPauseSeconds()
{
    const int kTimes = 50;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < kTimes; ++i)
        Sleep(PACING_MS);
    QueryPerformanceCounter(&t1);
    return Seconds(t0, t1) / kTimes;
}

} // namespace bench

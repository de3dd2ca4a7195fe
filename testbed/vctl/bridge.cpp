#include "bridge.h"

#include <string.h>

void BridgeReaderInit(BridgeReader* r)
{
    r->head_len = 0;
    r->need = 0;
    r->current.type = 0;
    r->current.payload.clear();
}

int BridgeFeed(BridgeReader* r, const unsigned char* data, size_t n, std::vector<BridgeRecord>* out)
{
    int ok = 1;
    size_t i = 0;
    while (i < n) {
        if (r->head_len < BRIDGE_HEAD) {
            r->head[r->head_len++] = data[i++];
            if (r->head_len < BRIDGE_HEAD)
                continue;
            uint32_t len = (uint32_t)r->head[1] | ((uint32_t)r->head[2] << 8) | ((uint32_t)r->head[3] << 16) |
                           ((uint32_t)r->head[4] << 24);
            if (len > BRIDGE_MAX_PAYLOAD) {
                ok = 0;
                BridgeReaderInit(r);
                continue;
            }
            r->current.type = r->head[0];
            r->current.payload.clear();
            r->need = len;
        } else {
            size_t take = n - i < r->need ? n - i : r->need;
            r->current.payload.insert(r->current.payload.end(), data + i, data + i + take);
            r->need -= (uint32_t)take;
            i += take;
        }
        if (r->need == 0) {
            out->push_back(r->current);
            BridgeReaderInit(r);
        }
    }
    return ok;
}

size_t BridgeEncode(int type, const unsigned char* payload, uint32_t n, unsigned char* out)
{
    out[0] = (unsigned char)type;
    out[1] = (unsigned char)n;
    out[2] = (unsigned char)(n >> 8);
    out[3] = (unsigned char)(n >> 16);
    out[4] = (unsigned char)(n >> 24);
    if (n)
        memcpy(out + BRIDGE_HEAD, payload, n);
    return BRIDGE_HEAD + (size_t)n;
}

#include "ZelStringEncode.h"

int ZelStringEncode(const unsigned char* src, char* dst, int count)
{
    if (src == nullptr || dst == nullptr)
        return 0;
    if (count <= 0) {
        dst[0] = '\0';
        return 0;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        dst[2 * i] = kDigits[src[i] >> 4];
        dst[2 * i + 1] = kDigits[src[i] & 0x0F];
    }
    dst[2 * count] = '\0';
    return 2 * count;
}

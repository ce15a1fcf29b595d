#include "Settings.h"

std::atomic<int64_t> gSnmpTimeout{250};
std::atomic<int32_t> gSnmpRetries{3};
std::atomic<int32_t> gCancelFlag{0};
std::atomic<uint8_t> gtype{0};

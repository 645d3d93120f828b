#include "line_timing.h"

int64_t wire_time_us(int64_t count, int32_t baud)
{
    if (baud <= 0)
        return 0;
    return count * BITS_PER_CHARACTER * 1000000 / baud;
}

int64_t frame_silence_us(int32_t baud)
{
    int64_t silence = wire_time_us(7, baud) / 2;
    return silence > FRAME_SILENCE_FLOOR_US ? silence : FRAME_SILENCE_FLOOR_US;
}

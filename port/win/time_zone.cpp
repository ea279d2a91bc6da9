// On Windows the zone information names the bias and which of its two extra biases applies.
#include <windows.h>

#include "port/time_zone.h"

namespace vantor {

int64_t LocalTimeZoneOffsetMs() {
    TIME_ZONE_INFORMATION info{};
    DWORD state = GetTimeZoneInformation(&info);
    LONG bias = info.Bias;
    if (state == TIME_ZONE_ID_STANDARD) bias += info.StandardBias;
    if (state == TIME_ZONE_ID_DAYLIGHT) bias += info.DaylightBias;
    return int64_t(bias) * 60000;
}

}  // namespace vantor

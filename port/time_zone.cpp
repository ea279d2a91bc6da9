// Off Windows the C library's zone (TZ) gives the offset for the current moment.
#include "port/time_zone.h"

#include <ctime>

namespace vantor {

int64_t LocalTimeZoneOffsetMs() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return -int64_t(local.tm_gmtoff) * 1000;
}

}  // namespace vantor

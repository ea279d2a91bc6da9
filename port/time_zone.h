// The local time-zone offset that Date uses: one fixed value per engine, whatever the date.
#pragma once

#include <cstdint>

namespace vantor {

// UTC minus local time, in milliseconds (positive west of Greenwich), as the system reports
// it now: the zone's bias plus its standard or daylight bias, whichever is in effect.
int64_t LocalTimeZoneOffsetMs();

}  // namespace vantor

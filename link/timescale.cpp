#include "timescale.h"

#include <atomic>
#include <cmath>

namespace
{
std::atomic<double>& scale()
{
    static std::atomic<double> s(1.0);
    return s;
}
} // namespace

double TimeScale::factor()
{
    return scale().load();
}

int TimeScale::ms(int ms)
{
    if (ms <= 0)
        return ms;
    const int scaled = int(std::lround(ms * factor()));
    return scaled < 1 ? 1 : scaled;
}

void TimeScale::setFactor(double f)
{
    scale().store((f > 0.0 && f <= 1.0) ? f : 1.0);
}

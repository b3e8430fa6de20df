#include "timescale.h"

#include <QByteArray>
#include <atomic>
#include <cmath>

namespace
{
std::atomic<double>& scale()
{
    static std::atomic<double> s([] {
        bool ok = false;
        const double f = qgetenv("UPDATER_TIME_SCALE").toDouble(&ok);
        return (ok && f > 0.0 && f <= 1.0) ? f : 1.0;
    }());
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

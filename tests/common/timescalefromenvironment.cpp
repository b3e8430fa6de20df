// Test builds of the programs only: a program that a test starts as a child process takes its
// time scale from UPDATER_TIME_SCALE. The installed programs are built without this file, so
// their waits cannot be shortened from outside.
#include "timescale.h"

#include <QString>

namespace
{
const bool scaledFromEnvironment = [] {
    bool ok = false;
    const double f = qEnvironmentVariable("UPDATER_TIME_SCALE").toDouble(&ok);
    if (ok)
        TimeScale::setFactor(f);
    return ok;
}();
} // namespace

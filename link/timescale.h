#ifndef TIMESCALE_H
#define TIMESCALE_H

// The one seam through which tests shorten the fixed waits of the console sequences and the
// re-flash wait. It reads UPDATER_TIME_SCALE (a factor such as 0.1) once; without it every
// wait is taken as it stands.
class TimeScale
{
public:
    static double factor();
    // A wait of ms milliseconds, scaled; never below 1 ms for a positive wait.
    static int ms(int ms);
    static void setFactor(double f); // for in-process tests
};

#endif // TIMESCALE_H

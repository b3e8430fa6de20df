#ifndef TIMESCALE_H
#define TIMESCALE_H

// The one seam through which tests shorten the fixed waits of the console sequences and the
// re-flash wait. Only test code sets it (setFactor, or a test build of a program that takes it
// from its environment); the installed programs take every wait as it stands.
class TimeScale
{
public:
    static double factor();
    // A wait of ms milliseconds, scaled; never below 1 ms for a positive wait.
    static int ms(int ms);
    static void setFactor(double f); // for tests; a factor outside (0, 1] means 1
};

#endif // TIMESCALE_H

// Board routines shared by start-up and the acquisition loop: video timing,
// sleeps, frame capture, readout with correction and statistics, write-back.
#include "kx29.h"
#include "kx29_io.h"

int hist[256];
int imin, imax, hmax;
double hmed, havr, hdisp;

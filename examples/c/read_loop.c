/* Opens a three-axis or four-channel sensor through the flat interface,
 * reads it in a loop and closes it, releasing everything it was handed.
 *
 * Usage: read_loop PORT KIND [SECONDS]
 *   PORT     the sensor's port, such as /dev/ttyUSB0
 *   KIND     its kind code: 68, 94, 31 or 34 (six-axis kinds are read with
 *            callRead6D in the same way)
 *   SECONDS  how long to read (default 2) */
#include <cs_export.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: read_loop PORT KIND [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 3 ? atof(argv[3]) : 2.0;

    /* A handle: ours until callBrovaDAQ_Dispose. */
    brv_daq* daq = callBrovaDAQ_Create();
    /* The device name only has to begin with the kind code. */
    if (!callOpen(daq, argv[1], argv[2])) {
        fprintf(stderr, "%s: the device did not answer\n", argv[1]);
        callBrovaDAQ_Dispose(daq);
        return 1;
    }
    /* Mode 0 (raw), 1000 samples per second, the device's 50 Hz filter. */
    if (!callSendConfig(daq, 0, 1000, 50))
        fprintf(stderr, "the device did not confirm the configuration\n");
    callZeroAll(daq); /* tare */

    brv_package* samples = NULL; /* resized by every callReadAll: ours to release */
    int64_t stamps[4096];        /* ours; the library only writes into it */
    long total = 0;
    const struct timespec pause = {0, 20 * 1000 * 1000};
    for (double waited = 0; waited < seconds; waited += 0.02) {
        const int n = callReadAll(daq, &samples, 0);
        if (n == -2 || n == -4) {
            fprintf(stderr, "the device stopped\n");
            break;
        }
        /* How many stamps the read handed out; at most 4096 are copied. */
        const int32_t stamped = callGetStamps(daq, stamps, 4096);
        for (int k = 0; k < n && k < stamped; ++k) {
            /* Channel c's k-th sample is samples[c * n + k]: channel 0 here. */
            printf("%lld  %d %d %d\n", (long long)stamps[k], samples[k].x, samples[k].y, samples[k].z);
        }
        if (n > 0)
            total += n;
        nanosleep(&pause, NULL);
    }

    brv_statistics stats;
    callGetStatistics(daq, &stats);
    /* The estimated rate is 0 until about 1.5 s of samples tell it. */
    printf("%ld samples, %llu checksum failures, estimated rate %.1f per second\n", total,
           (unsigned long long)stats.checksumFailures, callGetEstimatedRate(daq));
    /* Releases the array; the variable is ours to reset. */
    callDeletePackageArray(&samples);
    samples = NULL;
    callClose(daq);
    callBrovaDAQ_Dispose(daq);
    return 0;
}

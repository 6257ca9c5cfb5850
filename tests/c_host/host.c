/* A C host of the flat interface: compiled as C against the installed-style
 * header, so it proves the header is C and that its records mirror the
 * library's. */
#include <stddef.h>
#include <string.h>

#include "cs_export.h"

/* Sizes and offsets of the C mirrors, in a fixed order the C++ side checks. */
int brv_c_layout(long* out, int capacity)
{
    const long v[] = {
        (long)sizeof(brv_config),
        (long)sizeof(brv_package),
        (long)offsetof(brv_package, s1),
        (long)offsetof(brv_package, s8),
        (long)offsetof(brv_package, x),
        (long)offsetof(brv_package, x2),
        (long)offsetof(brv_package, inconsistent),
        (long)offsetof(brv_package, aux),
        (long)offsetof(brv_package, config),
        (long)offsetof(brv_package, version),
        (long)sizeof(brv_package6d),
        (long)offsetof(brv_package6d, Tx),
        (long)offsetof(brv_package6d, sensor1),
        (long)offsetof(brv_package6d, sensor4),
        (long)sizeof(bool),
        (long)sizeof(brv_statistics),
        (long)offsetof(brv_statistics, bytesDiscarded),
    };
    const int n = (int)(sizeof v / sizeof v[0]);
    int i;
    for (i = 0; i < n && i < capacity; ++i)
        out[i] = v[i];
    return n;
}

/* What a C host does with no device: every call answers, nothing crashes.
 * Returns 0 when every answer is the documented one, else the failing step. */
int brv_c_without_device(void)
{
    brv_daq* daq = callBrovaDAQ_Create();
    brv_package pkg;
    brv_package* arr = NULL;
    int* ints = NULL;
    int values[128];
    brv_config config;
    char* triple[3] = {NULL, NULL, NULL};

    if (!daq)
        return 1;
    memset(&pkg, 0, sizeof pkg);
    if (callOpen(daq, "", "68 v1.1"))
        return 2;
    if (callIsOpen(daq))
        return 3;
    if (callRead(daq, &pkg, 0, false) != -2 || callReadAll(daq, &arr, false) != -2 || arr != NULL)
        return 4;
    if (callReadAll6Axis(daq, &ints, true) != -2 || ints != NULL)
        return 5;
    if (callReadVirtualArray(daq, values, false) != -2)
        return 6;
    callGetConfig(daq, &config);
    if (config.value != 0xB0)
        return 7;
    if (callGetBytesPerRead(daq) != 1 || callGetActualVersion(daq) != 0)
        return 8;
    if (callGetStamps(daq, NULL, 0) != 0 || callGetEstimatedRate(daq) != 0.0)
        return 13;
    callClose(daq);
    callBrovaDAQ_Dispose(daq);
    callBrovaDAQ_Dispose(NULL);

    /* Null handles everywhere give empty results. */
    if (callIsOpen(NULL) || callRead(NULL, &pkg, 0, false) != -2 || callGetLastSize(NULL) != 0)
        return 9;
    {
        int64_t stamps[2] = {-1, -1};
        if (callGetStamps(NULL, stamps, 2) != 0 || stamps[0] != -1 || callGetEstimatedRate(NULL) != 0.0)
            return 11;
        /* Since the epoch, not since boot: past 2001 in any case. */
        if (callGetRealtimeOffset() < (int64_t)1000000000 * 1000000000)
            return 12;
    }
    callGetNewPort(NULL, triple);
    if (!triple[0] || triple[0][0] || !triple[1] || triple[1][0] || !triple[2] || triple[2][0])
        return 10;
    callDeleteBPORT(triple);
    callDeletePackageArray(&arr);
    callDeleteIntArray(&ints);
    callBrovaPorts_Dispose(NULL);
    return 0;
}

/* The calibration functions from C: a file that is not there gives no handle
 * and a message naming it; a NULL handle gives the empty results. Returns 0
 * when every answer is the documented one, else the failing step. */
int brv_c_calibration_without_file(const char* missing)
{
    char* error = NULL;
    brv_package pkg;
    double out[6] = {0, 0, 0, 0, 0, 0};
    brv_calibration* cal = callCalibration_Load(missing, &error);
    int result = 0;

    memset(&pkg, 0, sizeof pkg);
    if (cal || !error || !strstr(error, missing))
        result = 1;
    else if (callCalibration_ApplyForces(NULL, &pkg, 1, 1, true, out) != -2 || out[0] != 0)
        result = 2;
    else if (callCalibration_ApplyWrenchesFromChannels(NULL, &pkg, 1, false, out) != -2)
        result = 3;
    else if (callCalibration_Matches(NULL, 34, "") || callCalibration_Kind(NULL) != 0)
        result = 4;
    else if (callCalibration_Error(NULL) || callCalibration_Inputs(NULL, 0) || callCalibration_Identification(NULL))
        result = 5;
    callDeleteText(&error);
    callCalibration_Dispose(cal);
    return result;
}

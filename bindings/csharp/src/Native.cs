// The flat interface of libBRV.so.1 (cs_export.h) as P/Invoke declarations.
// Every rule of the header is kept here, and nowhere else:
//  - handles live in SafeHandles, released once through their _Dispose;
//  - texts the library returns stay the library's (callGetPortName) or are
//    copied out and handed back to the release functions (port lists and
//    triples): a string return type would make the marshaller free them;
//  - truth-valued results are 0 or 1 in a whole 32-bit int (brv_truth), read
//    as a 4-byte bool; flag parameters are one byte (brv_bool);
//  - records are sequential structs of the C layout; arrays the library
//    makes are read through their pointers and released by it.
using System;
using System.Runtime.InteropServices;

namespace Brv
{
    internal static class Native
    {
        internal const string Library = "libBRV.so.1";

        // ------------------------------------------------------ port discovery
        [DllImport(Library)] internal static extern PortsHandle callBrovaPorts_Create();
        [DllImport(Library)] internal static extern void callBrovaPorts_Dispose(IntPtr ports);
        [DllImport(Library)] internal static extern IntPtr callListPorts(PortsHandle ports);
        [DllImport(Library)] internal static extern int callGetLastSize(PortsHandle ports);
        [DllImport(Library)] internal static extern int callGetSizePorts(PortsHandle ports);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callIsNewPort(PortsHandle ports);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callIsLostPort(PortsHandle ports);
        [DllImport(Library)] internal static extern void callGetNewPort(PortsHandle ports, [In, Out] IntPtr[] triple);
        [DllImport(Library)] internal static extern void callGetLostPort(PortsHandle ports, [In, Out] IntPtr[] triple);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callWatchPort(PortsHandle ports, [MarshalAs(UnmanagedType.LPStr)] string path);

        // ------------------------------------------------------------ releasing
        [DllImport(Library)] internal static extern void callDeleteBPORT([In] IntPtr[] triple);
        [DllImport(Library)] internal static extern void callDeletePORTLIST(ref IntPtr list, int count);
        [DllImport(Library)] internal static extern void callDeletePackageArray(ref IntPtr array);
        [DllImport(Library)] internal static extern void callDeleteIntArray(ref IntPtr array);

        // ---------------------------------------------------------- acquisition
        [DllImport(Library)] internal static extern DaqHandle callBrovaDAQ_Create();
        [DllImport(Library)] internal static extern void callBrovaDAQ_Dispose(IntPtr daq);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callOpen(DaqHandle daq, [MarshalAs(UnmanagedType.LPStr)] string portName,
                                             [MarshalAs(UnmanagedType.LPStr)] string deviceName);
        [DllImport(Library)] internal static extern void callClose(DaqHandle daq);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callIsOpen(DaqHandle daq);
        // The text stays the library's: read it, never free it.
        [DllImport(Library)] internal static extern IntPtr callGetPortName(DaqHandle daq);
        [DllImport(Library)] internal static extern int callGetSize(DaqHandle daq);
        [DllImport(Library)] internal static extern int callGetSensorSize(DaqHandle daq);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callIsChksumOK(DaqHandle daq);
        [DllImport(Library)] internal static extern int callGetActualVersion(DaqHandle daq);
        [DllImport(Library)] internal static extern int callGetBytesPerRead(DaqHandle daq);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callIsVirtual(DaqHandle daq);
        [DllImport(Library)] internal static extern void callGetStatistics(DaqHandle daq, out Statistics statistics);
        [DllImport(Library)] internal static extern void callGetConfig(DaqHandle daq, out byte config);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callSendConfig(DaqHandle daq, int mode, int speed, int filter);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callZero(DaqHandle daq, int channel);
        [DllImport(Library)] internal static extern void callZeroAll(DaqHandle daq);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callUnzero(DaqHandle daq, int channel);
        [DllImport(Library)] internal static extern void callUnzeroAll(DaqHandle daq);
        [DllImport(Library)]
        internal static extern int callRead(DaqHandle daq, ref Package package, int channel,
                                            [MarshalAs(UnmanagedType.U1)] bool peek);
        [DllImport(Library)]
        internal static extern int callReadVirtual(DaqHandle daq, [In, Out] Package[] packages,
                                                   [MarshalAs(UnmanagedType.U1)] bool peek);
        [DllImport(Library)]
        internal static extern int callReadAll(DaqHandle daq, ref IntPtr array, [MarshalAs(UnmanagedType.U1)] bool peek);
        [DllImport(Library)]
        internal static extern int callRead6D(DaqHandle daq, ref Package6D package, [MarshalAs(UnmanagedType.U1)] bool peek);
        [DllImport(Library)]
        internal static extern int callRead6Axis(DaqHandle daq, [In, Out] int[] values, [MarshalAs(UnmanagedType.U1)] bool peek);
        [DllImport(Library)]
        internal static extern int callReadAll6Axis(DaqHandle daq, ref IntPtr values, [MarshalAs(UnmanagedType.U1)] bool peek);

        // ------------------------------------------------------ sample instants
        // stamps: an array of the caller's (null to learn the count), written
        // during the call only.
        [DllImport(Library)] internal static extern int callGetStamps(DaqHandle daq, [Out] long[] stamps, int capacity);
        [DllImport(Library)] internal static extern double callGetEstimatedRate(DaqHandle daq);
        // flags: as stamps, one status word per sample instant (brovaflags.h).
        [DllImport(Library)] internal static extern int callGetFlags(DaqHandle daq, [Out] uint[] flags, int capacity);
        [DllImport(Library)] internal static extern long callGetRealtimeOffset();

        // ---------------------------------------------------------- calibration
        // Texts come back as addresses: copied out, then handed to
        // callDeleteText. The apply functions write into the caller's doubles.
        [DllImport(Library)] internal static extern void callDeleteText(ref IntPtr text);
        [DllImport(Library)]
        internal static extern CalibrationHandle callCalibration_Load([MarshalAs(UnmanagedType.LPStr)] string path,
                                                                      out IntPtr error);
        [DllImport(Library)] internal static extern void callCalibration_Dispose(IntPtr calibration);
        [DllImport(Library)] internal static extern int callCalibration_Kind(CalibrationHandle calibration);
        [DllImport(Library)] internal static extern IntPtr callCalibration_Identification(CalibrationHandle calibration);
        [DllImport(Library)] internal static extern IntPtr callCalibration_Serial(CalibrationHandle calibration);
        [DllImport(Library)] internal static extern IntPtr callCalibration_Inputs(CalibrationHandle calibration, int channel);
        [DllImport(Library)] [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool callCalibration_Matches(CalibrationHandle calibration, int kind,
                                                            [MarshalAs(UnmanagedType.LPStr)] string identification);
        [DllImport(Library)] internal static extern IntPtr callCalibration_Error(CalibrationHandle calibration);
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyForces(CalibrationHandle calibration, [In] Package[] packages, int n,
                                                               int channels, [MarshalAs(UnmanagedType.U1)] bool tared,
                                                               [Out] double[] output);
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyWrenches(CalibrationHandle calibration, [In] Package6D[] packages,
                                                                 int n, [MarshalAs(UnmanagedType.U1)] bool tared,
                                                                 [Out] double[] output);
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyWrenchesFromChannels(CalibrationHandle calibration,
                                                                             [In] Package[] packages, int n,
                                                                             [MarshalAs(UnmanagedType.U1)] bool tared,
                                                                             [Out] double[] output);

        [DllImport(Library)]
        internal static extern int callCalibration_Range(CalibrationHandle calibration, int channel, [Out] double[] output,
                                                         int capacity);
        // flags: n words the library adds the over-range bits to, or null.
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyForcesFlagged(CalibrationHandle calibration, [In] Package[] packages,
                                                                      int n, int channels,
                                                                      [MarshalAs(UnmanagedType.U1)] bool tared,
                                                                      [Out] double[] output, [In, Out] uint[] flags);
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyWrenchesFlagged(CalibrationHandle calibration,
                                                                        [In] Package6D[] packages, int n,
                                                                        [MarshalAs(UnmanagedType.U1)] bool tared,
                                                                        [Out] double[] output, [In, Out] uint[] flags);
        [DllImport(Library)]
        internal static extern int callCalibration_ApplyWrenchesFromChannelsFlagged(CalibrationHandle calibration,
                                                                                    [In] Package[] packages, int n,
                                                                                    [MarshalAs(UnmanagedType.U1)] bool tared,
                                                                                    [Out] double[] output,
                                                                                    [In, Out] uint[] flags);

        // A text the library handed out, copied and released (null for none).
        internal static string TakeText(IntPtr text)
        {
            if (text == IntPtr.Zero)
                return null;
            string copy = Marshal.PtrToStringAnsi(text);
            callDeleteText(ref text);
            return copy;
        }
    }

    // An acquisition object: disposed of once, when released (the library
    // closes an open device first).
    internal sealed class DaqHandle : SafeHandle
    {
        private DaqHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle()
        {
            Native.callBrovaDAQ_Dispose(handle);
            return true;
        }
    }

    // A calibration: freed once, when released.
    internal sealed class CalibrationHandle : SafeHandle
    {
        private CalibrationHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle()
        {
            Native.callCalibration_Dispose(handle);
            return true;
        }
    }

    // A port-discovery object: its watcher stopped and joined when released.
    internal sealed class PortsHandle : SafeHandle
    {
        private PortsHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle()
        {
            Native.callBrovaPorts_Dispose(handle);
            return true;
        }
    }
}

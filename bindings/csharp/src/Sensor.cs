// One sensor, open from construction until Dispose. A Sensor serves one
// thread at a time.
using System;
using System.Runtime.InteropServices;

namespace Brv
{
    public sealed class Sensor : IDisposable
    {
        private readonly DaqHandle daq;
        private IntPtr all = IntPtr.Zero;  // the library's array of ReadAll, reused and resized by it
        private bool disposed;

        // Opens the sensor on port (a path such as /dev/ttyUSB0) of the kind
        // kind ("34", or a discovery text such as "34 v0.9"). Throws
        // OpenException when it does not open.
        public Sensor(string port, string kind)
        {
            if (port == null)
                throw new ArgumentNullException("port");
            daq = Native.callBrovaDAQ_Create();
            if (daq.IsInvalid)
                throw new BrvException("the library could not create an acquisition object");
            if (!Native.callOpen(daq, port, kind ?? "")) {
                daq.Dispose();
                throw new OpenException(string.Format("{0}: no sensor of kind {1} answered", port, kind));
            }
        }

        public Sensor(PortInfo port) : this(port.Port, port.Kind) { }

        ~Sensor() { Release(); }

        public void Dispose()
        {
            Release();
            GC.SuppressFinalize(this);
        }

        private void Release()
        {
            if (disposed)
                return;
            disposed = true;
            if (all != IntPtr.Zero) {
                Native.callDeletePackageArray(ref all);
                all = IntPtr.Zero;  // the release leaves the variable as it was
            }
            if (daq != null)
                daq.Dispose();
        }

        private DaqHandle Handle
        {
            get {
                if (disposed)
                    throw new ObjectDisposedException("Sensor");
                return daq;
            }
        }

        public bool IsOpen { get { return Native.callIsOpen(Handle); } }
        public string PortName { get { return Marshal.PtrToStringAnsi(Native.callGetPortName(Handle)); } }
        public int Version { get { return Native.callGetActualVersion(Handle); } }
        public int Channels { get { return Native.callGetSensorSize(Handle); } }
        public bool ChecksumOk { get { return Native.callIsChksumOK(Handle); } }
        public bool SixAxis { get { int v = Version; return v == 5 || v == 8; } }
        // True for a four-channel device; may wait about 0.6 s for a frame.
        public bool IsVirtual { get { return Native.callIsVirtual(Handle); } }

        // Sample instants: the instant the device took each sample, in
        // nanoseconds of the host's CLOCK_MONOTONIC, reconstructed from when
        // its bytes arrived; the instants of one device strictly increase and
        // are never later than the arrival of the sample's bytes.

        // The instants of the samples the last read handed out, oldest
        // first: one per sample instant after ReadAll and ReadAll6Axis (the
        // k-th belongs to the k-th sample of every channel), one after Read,
        // ReadChannels, Read6D and Read6Axis, none after a read that gave
        // nothing. A new array on every call.
        public long[] GetStamps()
        {
            DaqHandle h = Handle;
            long[] stamps = new long[Math.Max(Native.callGetStamps(h, null, 0), 0)];
            int n = Native.callGetStamps(h, stamps, stamps.Length);
            if (n < stamps.Length)
                Array.Resize(ref stamps, Math.Max(n, 0));
            return stamps;
        }

        // The status flags of the samples the last read handed out, one word
        // per sample instant exactly as GetStamps (the bits of SampleFlags:
        // a field at its rail; the over-range bits come from a Calibration's
        // Apply... with flags). A new array on every call.
        public uint[] GetFlags()
        {
            DaqHandle h = Handle;
            uint[] flags = new uint[Math.Max(Native.callGetFlags(h, null, 0), 0)];
            int n = Native.callGetFlags(h, flags, flags.Length);
            if (n < flags.Length)
                Array.Resize(ref flags, Math.Max(n, 0));
            return flags;
        }

        // The device's sample rate in samples per second as the library's
        // clock model estimates it from the arrivals, whatever rate it was
        // configured for (e.g. 1000.13, or 970.02 for a device 3 % slow); 0
        // while it cannot tell: about a second after an open or a rate
        // change, 2 to 3 s for a device off its configured rate.
        public double EstimatedRate { get { return Native.callGetEstimatedRate(Handle); } }

        // Nanoseconds to add to an instant of GetStamps to get the same
        // instant on CLOCK_REALTIME (nanoseconds since 1970-01-01 UTC), as
        // the two clocks stand now: the system may step or slew its clock,
        // so read it again rather than keep it.
        public static long RealtimeOffset { get { return Native.callGetRealtimeOffset(); } }

        public Statistics Statistics
        {
            get {
                Statistics s;
                Native.callGetStatistics(Handle, out s);
                return s;
            }
        }

        public Config Config
        {
            get {
                byte b;
                Native.callGetConfig(Handle, out b);
                return new Config(b);
            }
        }

        // Rate 1000, 333, 100 or 30 per second, filter 0, 150, 50 or 15 Hz,
        // mode 0 (raw) or 1 (vector). True when the device confirms the rate
        // and filter.
        public bool Configure(int rate, int filterHz, int mode)
        {
            return Native.callSendConfig(Handle, mode, rate, filterHz);
        }

        public bool Tare(int channel) { return Native.callZero(Handle, channel); }
        public void TareAll() { Native.callZeroAll(Handle); }
        public bool Untare(int channel) { return Native.callUnzero(Handle, channel); }
        public void UntareAll() { Native.callUnzeroAll(Handle); }

        private static int Checked(int status)
        {
            if (status == -2)
                throw new DeviceClosedException("the device is not open: closed, unplugged or silent");
            if (status == -3)
                throw new NotServedException("the channel is not served by this device");
            if (status == -4)
                throw new DeviceClosedException("the device went silent; its reader stopped");
            return status;  // -1 (the reader's buffer overflowed): nothing parsed
        }

        private DaqHandle Kind(bool sixAxis)
        {
            DaqHandle h = Handle;
            if (SixAxis != sixAxis)
                throw new NotServedException(sixAxis ? "a six-axis read of a three-axis device"
                                                     : "a three-axis read of a six-axis device");
            return h;
        }

        // The newest sample of one channel, or null when none came.
        public Package? Read(int channel = 0, bool peek = false)
        {
            DaqHandle h = Kind(false);
            Package p = new Package { Version = -1 };
            Checked(Native.callRead(h, ref p, channel, peek));
            return p.Version == -1 ? (Package?)null : p;
        }

        // The newest sample of every channel (a default record for a channel
        // without one).
        public Package[] ReadChannels(bool peek = false)
        {
            DaqHandle h = Kind(false);
            Package[] all16 = new Package[16];
            Checked(Native.callReadVirtual(h, all16, peek));
            Package[] result = new Package[Math.Max(Channels, 0)];
            Array.Copy(all16, result, result.Length);
            return result;
        }

        // Every sample since the last read: one array per channel, oldest first.
        public unsafe Package[][] ReadAll(bool peek = false)
        {
            DaqHandle h = Kind(false);
            int n = Checked(Native.callReadAll(h, ref all, peek));
            int channels = Math.Max(Channels, 1);
            Package[][] result = new Package[channels][];
            Package* p = (Package*)all;
            for (int c = 0; c < channels; ++c) {
                result[c] = new Package[Math.Max(n, 0)];
                for (int k = 0; k < n; ++k)
                    result[c][k] = p[c * n + k];
            }
            return result;
        }

        // ReadAll in newtons through a calibration: result[channel] is an
        // n x 3 array of x, y, z in N (NaN for a channel the file does not
        // calibrate). tared: whether the channels are tared (the file's bias
        // is left out then).
        public double[][,] ReadAllForces(Calibration calibration, bool tared, bool peek = false)
        {
            if (calibration == null)
                throw new ArgumentNullException("calibration");
            return calibration.ApplyForces(ReadAll(peek), tared);
        }

        // The newest six-axis sample, or null.
        public Package6D? Read6D(bool peek = false)
        {
            DaqHandle h = Kind(true);
            Package6D p = new Package6D();
            return Checked(Native.callRead6D(h, ref p, peek)) > 0 ? p : (Package6D?)null;
        }

        // Force and torque from the newest samples of a four-channel device.
        public Wrench? Read6Axis(bool peek = false)
        {
            DaqHandle h = Kind(false);
            int[] v = new int[6];
            return Checked(Native.callRead6Axis(h, v, peek)) > 0 ? new Wrench(v[0], v[1], v[2], v[3], v[4], v[5])
                                                                  : (Wrench?)null;
        }

        // A wrench per sample instant since the last read, of a four-channel device.
        public unsafe Wrench[] ReadAll6Axis(bool peek = false)
        {
            DaqHandle h = Kind(false);
            IntPtr values = IntPtr.Zero;
            try {
                int n = Math.Max(Checked(Native.callReadAll6Axis(h, ref values, peek)), 0);
                Wrench[] result = new Wrench[n];
                int* v = (int*)values;
                for (int k = 0; k < n; ++k)
                    result[k] = new Wrench(v[6 * k], v[6 * k + 1], v[6 * k + 2], v[6 * k + 3], v[6 * k + 4], v[6 * k + 5]);
                return result;
            } finally {
                if (values != IntPtr.Zero)
                    Native.callDeleteIntArray(ref values);
            }
        }
    }
}

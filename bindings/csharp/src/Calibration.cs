// A sensor's calibration file, from counts to newtons: the library applies
// the file's matrices and biases to the records Sensor's reads hand out.
//
// The tare comes first: the library subtracts a channel's zero offset as
// samples are made. A tared sample's offset already stands for the zero
// load, so the bias must be left out: pass tared = true for samples of tared
// channels (after Tare/TareAll), false otherwise.
//
// The Apply methods may run on several threads at once; Matches and
// LastError serve one thread at a time.
using System;

namespace Brv
{
    // A calibration file that cannot be loaded (the message names the file
    // and the field), or one that does not calibrate what was asked.
    public sealed class CalibrationException : BrvException
    {
        public CalibrationException(string message) : base(message) { }
    }

    public sealed class Calibration : IDisposable
    {
        private readonly CalibrationHandle cal;
        private bool disposed;

        private Calibration(CalibrationHandle handle) { cal = handle; }

        // Reads and validates a file; throws CalibrationException with the
        // library's message when it cannot.
        public static Calibration Load(string path)
        {
            if (path == null)
                throw new ArgumentNullException("path");
            IntPtr error;
            CalibrationHandle h = Native.callCalibration_Load(path, out error);
            string message = Native.TakeText(error);
            if (h.IsInvalid) {
                h.Dispose();
                throw new CalibrationException(message ?? path + ": cannot be loaded");
            }
            return new Calibration(h);
        }

        public void Dispose()
        {
            if (disposed)
                return;
            disposed = true;
            cal.Dispose();
        }

        private CalibrationHandle Handle
        {
            get {
                if (disposed)
                    throw new ObjectDisposedException("Calibration");
                return cal;
            }
        }

        // The kind code the file is for (31, 34, 64, 68, 94, 95).
        public int Kind { get { return Native.callCalibration_Kind(Handle); } }
        // The identification text the file is for ("" for any device of its kind).
        public string Identification { get { return Native.TakeText(Native.callCalibration_Identification(Handle)) ?? ""; } }
        public string Serial { get { return Native.TakeText(Native.callCalibration_Serial(Handle)) ?? ""; } }

        // The input names of a channel's matrix (-1: the six-axis part), in
        // column order; empty when the file does not calibrate it.
        public string[] Inputs(int channel)
        {
            string text = Native.TakeText(Native.callCalibration_Inputs(Handle, channel));
            return string.IsNullOrEmpty(text) ? new string[0] : text.Split(',');
        }

        // Whether the file is for a device of this kind and identification
        // ("" matches any). When not, LastError says why.
        public bool Matches(int kind, string identification = "")
        {
            return Native.callCalibration_Matches(Handle, kind, identification ?? "");
        }

        // A discovered sensor: its kind text ("34 v0.9") and identification.
        public bool Matches(PortInfo port)
        {
            int kind;
            if (port.Kind == null || port.Kind.Length < 2 || !int.TryParse(port.Kind.Substring(0, 2), out kind))
                return false;
            return Matches(kind, port.Id);
        }

        // The library's message of the last failure ("" after a success).
        public string LastError { get { return Native.TakeText(Native.callCalibration_Error(Handle)) ?? ""; } }

        private int Checked(int status, string what)
        {
            if (status == -3)
                throw new CalibrationException((LastError.Length > 0 ? LastError : "the calibration") + ": " + what);
            if (status < 0)
                throw new ArgumentException("the library refused the arguments (" + status + ")");
            return status;
        }

        private static int Samples(Package[][] all)
        {
            if (all == null)
                throw new ArgumentNullException("all");
            if (all.Length == 0 || all.Length > 16)
                throw new ArgumentException("1 to 16 channels expected", "all");
            int n = all[0].Length;
            foreach (Package[] channel in all)
                if (channel == null || channel.Length != n)
                    throw new ArgumentException("every channel needs as many samples", "all");
            return n;
        }

        // The library's channel-major layout of ReadAll's arrays.
        private static Package[] Flat(Package[][] all, int n)
        {
            Package[] flat = new Package[all.Length * n];
            for (int c = 0; c < all.Length; ++c)
                Array.Copy(all[c], 0, flat, c * n, n);
            return flat;
        }

        // Forces of Sensor.ReadAll's arrays ([channel][k]): result[channel]
        // is an n x 3 array of the k-th sample's x, y, z in N; NaN for a
        // channel the file does not calibrate.
        public double[][,] ApplyForces(Package[][] all, bool tared)
        {
            return ApplyForces(all, tared, null);
        }

        // ApplyForces, and the over-range check: flags holds one word per
        // sample (Sensor.GetFlags after the ReadAll, or zeros); the bits
        // SampleFlags.OverRange and SampleFlags.AxisOverRange << r are added
        // for a sample whose output r exceeds its rated range by more than
        // 2 % (RatedRange). flags may be null.
        public double[][,] ApplyForces(Package[][] all, bool tared, uint[] flags)
        {
            int n = Samples(all);
            int channels = all.Length;
            CheckFlags(flags, n);
            double[] output = new double[n * channels * 3];
            Checked(Native.callCalibration_ApplyForcesFlagged(Handle, Flat(all, n), n, channels, tared, output, flags),
                    "calibrates none of channels 0.." + (channels - 1));
            double[][,] result = new double[channels][,];
            for (int c = 0; c < channels; ++c) {
                result[c] = new double[n, 3];
                for (int k = 0; k < n; ++k)
                    for (int j = 0; j < 3; ++j)
                        result[c][k, j] = output[(k * channels + c) * 3 + j];
            }
            return result;
        }

        // Wrenches of six-axis samples (Sensor.Read6D): an n x 6 array, Fx,
        // Fy, Fz in N, Tx, Ty, Tz in N*m.
        public double[,] ApplyWrenches(Package6D[] samples, bool tared)
        {
            return ApplyWrenches(samples, tared, null);
        }

        // ApplyWrenches with the over-range check, flags as for ApplyForces
        // (judged on the sensor's own axes, before the tool transform).
        public double[,] ApplyWrenches(Package6D[] samples, bool tared, uint[] flags)
        {
            if (samples == null)
                throw new ArgumentNullException("samples");
            CheckFlags(flags, samples.Length);
            double[] output = new double[samples.Length * 6];
            Checked(Native.callCalibration_ApplyWrenchesFlagged(Handle, samples, samples.Length, tared, output, flags),
                    "has no six-axis part");
            return Rows(output, samples.Length);
        }

        // Wrenches of a four-channel device read as one six-axis sensor,
        // from its Sensor.ReadAll arrays: an n x 6 array.
        public double[,] ApplyWrenchesFromChannels(Package[][] all, bool tared)
        {
            return ApplyWrenchesFromChannels(all, tared, null);
        }

        // ApplyWrenchesFromChannels with the over-range check, flags as for
        // ApplyForces.
        public double[,] ApplyWrenchesFromChannels(Package[][] all, bool tared, uint[] flags)
        {
            int n = Samples(all);
            if (all.Length != 4)
                throw new ArgumentException("the arrays of a four-channel device expected", "all");
            CheckFlags(flags, n);
            double[] output = new double[n * 6];
            Checked(Native.callCalibration_ApplyWrenchesFromChannelsFlagged(Handle, Flat(all, n), n, tared, output,
                                                                            flags),
                    "has no six-axis part");
            return Rows(output, n);
        }

        // The rated ranges of a channel's outputs (channel -1: the six-axis
        // part) as the file gives them, converted: x, y, z in N, or Fx, Fy,
        // Fz in N and Tx, Ty, Tz in N*m; an empty array when it gives none.
        public double[] RatedRange(int channel)
        {
            int n = Math.Max(Native.callCalibration_Range(Handle, channel, null, 0), 0);
            double[] range = new double[n];
            Native.callCalibration_Range(Handle, channel, range, n);
            return range;
        }

        private static void CheckFlags(uint[] flags, int n)
        {
            if (flags != null && flags.Length != n)
                throw new ArgumentException("one flags word per sample expected", "flags");
        }

        private static double[,] Rows(double[] output, int n)
        {
            double[,] result = new double[n, 6];
            Buffer.BlockCopy(output, 0, result, 0, n * 6 * sizeof(double));
            return result;
        }
    }
}

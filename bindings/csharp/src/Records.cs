// The records of the flat interface, laid out as the C header lays them out
// (sequential, natural alignment): they are read and written in place.
using System;
using System.Runtime.InteropServices;

namespace Brv
{
    // One sample of one three-axis channel, zero offset subtracted: 100 bytes.
    [StructLayout(LayoutKind.Sequential)]
    public unsafe struct Package
    {
        public int S1, S2, S3, S4, S5, S6, S7, S8;  // element readings
        public int X, Y, Z;                         // force vector
        public int X2, Y2, Z2;                      // second vector
        private fixed int inconsistent[8];          // S1..S8 as received
        public int Aux;                             // auxiliary reading
        public byte Config;                         // configuration sent with the sample
        public int Version;                         // protocol it came under: 3..8

        // Reading i (0..7) as received, before the zero offset.
        public int Raw(int i)
        {
            if (i < 0 || i > 7)
                throw new ArgumentOutOfRangeException("i");
            fixed (int* p = inconsistent)
                return p[i];
        }
        // The device's state field: 5 is normal; others are conditions it signals.
        public int State { get { return Config >> 5; } }
    }

    // One six-axis sample: 424 bytes.
    [StructLayout(LayoutKind.Sequential)]
    public struct Package6D
    {
        public int Fx, Fy, Fz, Tx, Ty, Tz;
        public Package Sensor1, Sensor2, Sensor3, Sensor4;
        public Wrench Wrench { get { return new Wrench(Fx, Fy, Fz, Tx, Ty, Tz); } }
    }

    // Force and torque on three axes.
    public struct Wrench
    {
        public readonly int Fx, Fy, Fz, Tx, Ty, Tz;
        public Wrench(int fx, int fy, int fz, int tx, int ty, int tz)
        {
            Fx = fx; Fy = fy; Fz = fz; Tx = tx; Ty = ty; Tz = tz;
        }
        public override string ToString()
        {
            return string.Format("F=({0}, {1}, {2}) T=({3}, {4}, {5})", Fx, Fy, Fz, Tx, Ty, Tz);
        }
    }

    // What the library saw of a device since it was opened: 40 bytes.
    [StructLayout(LayoutKind.Sequential)]
    public struct Statistics
    {
        public ulong BytesReceived, FramesAccepted, ChecksumFailures, FramesMalformed, BytesDiscarded;
    }

    // The configuration byte, decoded.
    public struct Config
    {
        public readonly byte Value;
        public Config(byte value) { Value = value; }
        public int State { get { return Value >> 5; } }
        public int Rate { get { return new[] { 1000, 333, 100, 30 }[(Value >> 3) & 3]; } }
        public int FilterHz { get { return new[] { 0, 150, 50, 15 }[(Value >> 1) & 3]; } }
        public int Mode { get { return Value & 1; } }
        public override string ToString()
        {
            return string.Format("rate {0} per second, filter {1} Hz, {2} mode, state {3}", Rate, FilterHz,
                                 Mode == 1 ? "vector" : "raw", State);
        }
    }

    // A sensor port found by discovery: its port, kind text ("34 v0.9") and
    // identification text (empty for a stream device).
    public struct PortInfo
    {
        public readonly string Port, Kind, Id;
        public PortInfo(string port, string kind, string id) { Port = port; Kind = kind; Id = id; }
        public override string ToString() { return Port + " " + Kind + " " + Id; }
    }

    // The bits of a sample's status flags (brovaflags.h), one word per
    // sample instant (Sensor.GetFlags); 0 when there is nothing to tell.
    public static class SampleFlags
    {
        public const uint Rail = 0x00000001;           // a field the device sent is at its rail
        public const uint OverRange = 0x00000002;      // a calibrated value over its rated range (+2 %)
        public const uint ElementRail = 0x00000004;    // an element reading s1 ... s8 at 0 or 65535
        public const uint VectorRail = 0x00000008;     // x, y, z of a channel or Fx ... Tz at its rail
        public const uint ChannelRail = 0x00000100;    // << c: channel (six-axis: unit) c had one
        public const uint ChannelRailMask = 0x00FFFF00;
        public const uint AxisOverRange = 0x01000000;  // << r: output r over its range
        public const uint AxisOverRangeMask = 0x3F000000;
    }

    public class BrvException : Exception
    {
        public BrvException(string message) : base(message) { }
    }
    // The device could not be opened.
    public sealed class OpenException : BrvException
    {
        public OpenException(string message) : base(message) { }
    }
    // The device is not open any more (closed, unplugged, or silent for 550 ms).
    public sealed class DeviceClosedException : BrvException
    {
        public DeviceClosedException(string message) : base(message) { }
    }
    // A read this device does not serve (a six-axis read of a three-axis device ...).
    public sealed class NotServedException : BrvException
    {
        public NotServedException(string message) : base(message) { }
    }
}

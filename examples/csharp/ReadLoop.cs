// Opens a three-axis or four-channel sensor through the C# binding, reads it
// in a loop with the instant of every sample, and closes it.
//
// Build and run with Mono, beside Brv.dll, the C# binding (bindings/csharp of
// the source tree; a build puts it in build/bindings/csharp/Brv.dll), with
// libBRV.so.1 installed or on LD_LIBRARY_PATH:
//   mcs -r:Brv.dll ReadLoop.cs && mono ReadLoop.exe PORT KIND [SECONDS]
// PORT: the sensor's port, such as /dev/ttyUSB0; KIND: its kind code (68, 94,
// 31 or 34; `brova list` tells it); SECONDS: how long to read (default 2).
using System;
using System.Diagnostics;
using System.Threading;
using Brv;

public static class ReadLoop
{
    public static int Main(string[] args)
    {
        if (args.Length < 2) {
            Console.Error.WriteLine("usage: ReadLoop PORT KIND [SECONDS]");
            return 2;
        }
        double seconds = args.Length > 2 ? double.Parse(args[2]) : 2.0;
        try {
            // Opens at once (OpenException when nothing answers); Dispose,
            // here at the end of the using block, closes it and releases
            // everything the library handed out.
            using (var sensor = new Sensor(args[0], args[1])) {
                if (!sensor.Configure(1000, 50, 0))  // rate, filter (Hz), mode 0: raw
                    Console.Error.WriteLine("the device did not confirm the configuration");
                sensor.TareAll();
                long total = 0, first = -1;
                var clock = Stopwatch.StartNew();
                while (clock.Elapsed.TotalSeconds < seconds) {
                    // Every sample since the last read, one array per channel;
                    // ReaderStoppedException when the device stops.
                    Package[][] samples = sensor.ReadAll();
                    long[] stamps = sensor.GetStamps();  // ns of CLOCK_MONOTONIC, one per sample
                    for (int k = 0; k < samples[0].Length; ++k) {
                        if (first < 0)
                            first = stamps[k];
                        Package p = samples[0][k];  // channel 0
                        Console.WriteLine("{0:F6}  {1} {2} {3}", (stamps[k] - first) / 1e9, p.X, p.Y, p.Z);
                    }
                    total += samples[0].Length;
                    Thread.Sleep(20);
                }
                Statistics s = sensor.Statistics;
                Console.WriteLine("{0} samples, {1} checksum failures, estimated rate {2:F1} per second",
                                  total, s.ChecksumFailures, sensor.EstimatedRate);
            }
            return 0;
        } catch (BrvException e) {
            Console.Error.WriteLine(e.Message);
            return 1;
        }
    }
}

// The C# binding under Mono against simulated sensors (brova-sim processes
// on pseudo-terminals; BRV_SIM names the program).
using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using NUnit.Framework;

namespace Brv.Tests
{
    // One brova-sim process; its port path is its first line.
    sealed class Sim : IDisposable
    {
        public readonly Process Process;
        public readonly string Port;
        public static readonly int[] Load = { 100, -50, 20000 };

        public Sim(int kind, params string[] extra)
        {
            string sim = Environment.GetEnvironmentVariable("BRV_SIM") ?? "brova-sim";
            var info = new ProcessStartInfo(sim, string.Format("--kind {0} --pin-rate 1000 --load {1},{2},{3} " +
                                                               "--load6 -1000,2000,3000,400,-500,600 {4}",
                                                               kind, Load[0], Load[1], Load[2], string.Join(" ", extra)));
            info.UseShellExecute = false;
            info.RedirectStandardOutput = true;
            Process = Process.Start(info);
            Port = Process.StandardOutput.ReadLine();
            StringAssert.StartsWith("/", Port ?? "", "brova-sim did not start");
        }

        private bool stopped;

        public void Dispose()
        {
            if (stopped)
                return;
            stopped = true;
            if (!Process.HasExited) {
                Process.Kill();
                Process.WaitForExit();
            }
            Process.Dispose();
        }
    }

    [TestFixture]
    public class SensorTests
    {
        static T Within<T>(Func<T> read, Func<T, bool> done, int ms = 3000)
        {
            var clock = Stopwatch.StartNew();
            T value = read();
            while (!done(value) && clock.ElapsedMilliseconds < ms) {
                Thread.Sleep(10);
                value = read();
            }
            return value;
        }

        [TestCase(68), TestCase(94), TestCase(95), TestCase(31), TestCase(34), TestCase(64)]
        public void EveryKindFamilyOpensReadsConfiguresAndTares(int kind)
        {
            using (var sim = new Sim(kind))
            using (var sensor = new Sensor(sim.Port, kind.ToString())) {
                Assert.IsTrue(sensor.IsOpen);
                Assert.AreEqual(sim.Port, sensor.PortName);
                Assert.IsTrue(sensor.Configure(1000, 50, 0));
                Assert.AreEqual(1000, sensor.Config.Rate);
                Assert.AreEqual(50, sensor.Config.FilterHz);
                if (kind == 95 || kind == 64) {
                    Assert.IsTrue(sensor.SixAxis);
                    Package6D p = Within(() => sensor.Read6D(), v => v.HasValue).Value;
                    Assert.AreEqual(-1000, p.Fx);
                    Assert.AreEqual(600, p.Tz);
                    sensor.TareAll();
                    Assert.AreEqual(0, Within(() => sensor.Read6D(), v => v.HasValue && v.Value.Fx == 0).Value.Fx);
                    Assert.Throws<NotServedException>(() => sensor.Read());
                } else {
                    Package p = Within(() => sensor.Read(), v => v.HasValue).Value;
                    Assert.AreEqual(Sim.Load, new[] { p.X, p.Y, p.Z });
                    Assert.AreEqual(5, p.State);
                    Assert.AreEqual(sensor.Channels, sensor.ReadChannels().Length);
                    Package[][] all = Within(() => sensor.ReadAll(), v => v[0].Length > 0);
                    Assert.AreEqual(sensor.Channels, all.Length);
                    Assert.IsTrue(all.All(c => c.Length == all[0].Length && c.All(s => s.Z == Sim.Load[2])));
                    sensor.TareAll();
                    Assert.AreEqual(0, Within(() => sensor.Read(), v => v.HasValue && v.Value.X == 0).Value.X);
                    if (sensor.Channels == 4) {
                        Wrench w = Within(() => sensor.Read6Axis(), v => v.HasValue).Value;
                        Assert.AreEqual(0, w.Fx);
                        Assert.IsNotEmpty(Within(() => sensor.ReadAll6Axis(), v => v.Length > 0));
                    }
                    Assert.Throws<NotServedException>(() => sensor.Read6D());
                }
                Assert.Greater(sensor.Statistics.FramesAccepted, 0UL);
            }
        }

        [StructLayout(LayoutKind.Sequential)]
        struct Timespec { public long Seconds, Nanoseconds; }
        [DllImport("libc.so.6")] static extern int clock_gettime(int clock, out Timespec t);

        static long ClockNs(int clock)  // 0 CLOCK_REALTIME, 1 CLOCK_MONOTONIC
        {
            Timespec t;
            Assert.AreEqual(0, clock_gettime(clock, out t));
            return t.Seconds * 1000000000L + t.Nanoseconds;
        }

        [Test]
        public void StampsOfTheLastReadRateAndRealtimeOffset()
        {
            using (var sim = new Sim(94))
            using (var sensor = new Sensor(sim.Port, "94")) {
                Assert.IsTrue(sensor.Configure(1000, 0, 0));  // the pace the simulator keeps
                Package[][] all = Within(() => sensor.ReadAll(), v => v[0].Length > 2);
                long now = ClockNs(1);
                long[] s = sensor.GetStamps();
                Assert.AreEqual(all[0].Length, s.Length);
                for (int k = 1; k < s.Length; ++k)
                    Assert.Greater(s[k], s[k - 1]);
                Assert.LessOrEqual(s[s.Length - 1], now);
                Assert.Greater(s[s.Length - 1], now - 2000000000L);

                Assert.IsTrue(Within(() => sensor.Read(), v => v.HasValue).HasValue);
                long[] newest = sensor.GetStamps();
                Assert.AreEqual(1, newest.Length);
                Assert.Greater(newest[0], s[s.Length - 1]);
                Wrench[] groups = Within(() => sensor.ReadAll6Axis(), v => v.Length > 0);
                Assert.AreEqual(groups.Length, sensor.GetStamps().Length);

                double rate = Within(() => { sensor.ReadAll(); return sensor.EstimatedRate; }, r => r > 0, 5000);
                Assert.AreEqual(1000.0, rate, 1.0);  // within the 0.1 % that establishes it
            }
            Assert.AreEqual((double)(ClockNs(0) - ClockNs(1)), (double)Sensor.RealtimeOffset, 1e9);
        }

        [Test]
        public void RecordsHaveTheLibrarysLayout()
        {
            // The library writes whole records into these: a smaller struct
            // would be overrun.
            Assert.AreEqual(100, Marshal.SizeOf(typeof(Package)));
            Assert.AreEqual(424, Marshal.SizeOf(typeof(Package6D)));
            Assert.AreEqual(40, Marshal.SizeOf(typeof(Statistics)));
        }

        [Test]
        public void PortsFindAWatchedSimulatorAndLoseIt()
        {
            // Watched through a link, which is then removed: a pseudo-terminal's
            // own name may be taken again at once by another program's.
            string link = Path.Combine(Path.GetTempPath(), "brvw" + Process.GetCurrentProcess().Id);
            using (var ports = new Ports())
            using (var sim = new Sim(34, "--ident", "CSHARP1")) {
                File.Delete(link);
                Assert.AreEqual(0, symlink(sim.Port, link));
                PortInfo plugged = new PortInfo();
                PortInfo unplugged = new PortInfo();
                ports.Plugged += (s, e) => plugged = e.Port;
                ports.Unplugged += (s, e) => unplugged = e.Port;
                Assert.Throws<ArgumentException>(() => ports.Watch(new string('x', 25)));
                ports.Watch(link);
                Within(() => ports.Poll() > 0 && plugged.Port != null, v => v, 8000);
                Assert.AreEqual(link, plugged.Port);
                Assert.AreEqual("34 v0.9", plugged.Kind);
                Assert.AreEqual("CSHARP1", plugged.Id);
                Assert.AreEqual(1, ports.List().Count(p => p.Port == link));
                File.Delete(link);  // unplugged
                Within(() => ports.Poll() > 0 && unplugged.Port != null, v => v, 8000);
                Assert.AreEqual(link, unplugged.Port);
            }
        }

        [Test]
        public void WrongWayUsesRaiseClearErrors()
        {
            Assert.Throws<OpenException>(() => new Sensor("/dev/brv-no-such-port", "68"));
            Assert.Throws<ArgumentNullException>(() => new Sensor(null, "68"));
            var sim = new Sim(68);
            var sensor = new Sensor(sim.Port, "68");
            sim.Dispose();  // unplugged: the reader ends, reads say so
            Assert.Throws<DeviceClosedException>(() => Within<Package?>(() => sensor.Read(), v => false, 3000));
            sensor.Dispose();
            sensor.Dispose();  // twice: harmless
            Assert.Throws<ObjectDisposedException>(() => sensor.Read());
            Assert.Throws<ObjectDisposedException>(() => { var open = sensor.IsOpen; });
            var ports = new Ports();
            ports.Dispose();
            Assert.Throws<ObjectDisposedException>(() => ports.List());
        }

        [StructLayout(LayoutKind.Sequential)]
        struct MallInfo2
        {
            public UIntPtr arena, ordblks, smblks, hblks, hblkhd, usmblks, fsmblks, uordblks, fordblks, keepcost;
        }
        [DllImport("libc.so.6")] static extern MallInfo2 mallinfo2();

        // Bytes in use on the C heap (where the library allocates what it
        // hands out), after a full collection of the managed heap.
        static long HeapInUse()
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
            GC.Collect();
            return (long)mallinfo2().uordblks.ToUInt64();
        }

        [Test]
        public void EveryBlockIsReleasedOverLongLoops()
        {
            using (var sim = new Sim(94)) {
                // Sensors and their arrays, with no discovery running (its
                // listings of the system's ports fill caches of their own).
                Action<int> sensors = count => {
                    for (int r = 0; r < count; ++r) {
                        using (var sensor = new Sensor(sim.Port, "94")) {
                            for (int i = 0; i < 10; ++i) {
                                Thread.Sleep(2);
                                sensor.ReadAll();
                                sensor.ReadAll6Axis();
                            }
                            sensor.ReadChannels();
                            Assert.AreEqual(sim.Port, sensor.PortName);
                        }
                    }
                };
                sensors(3);  // what is allocated once is allocated by now
                long before = HeapInUse();
                sensors(40);
                long grown = HeapInUse() - before;
                Console.WriteLine("C heap growth over 40 sensors: {0} bytes", grown);
                // 40 acquisition objects, 400 sample arrays of ~40 samples of
                // four 100-byte records, 400 wrench arrays: any of them not
                // released would leak 100 kB or more.
                Assert.Less(grown, 32L << 10, "the C heap grew by {0} bytes over 40 sensors", grown);

                // Port lists of six sensors (six links to the simulator).
                string dir = Path.Combine(Path.GetTempPath(), "brv" + Process.GetCurrentProcess().Id);
                Directory.CreateDirectory(dir);
                try {
                    using (var ports = new Ports()) {
                        for (int i = 0; i < 6; ++i) {
                            string link = Path.Combine(dir, i.ToString());
                            File.Delete(link);
                            Assert.AreEqual(0, symlink(sim.Port, link));
                            ports.Watch(link);
                        }
                        Within(() => ports.List().Length, n => n == 6, 15000);
                        // The watcher's own listings of the system's ports
                        // fill a cache of the system's in its first seconds
                        // (some 250 kB, then no more): lists first while it
                        // fills, then the lists that are measured.
                        for (int i = 0; i < 450; ++i)
                            ports.List();
                        before = HeapInUse();
                        var listing = Stopwatch.StartNew();
                        for (int i = 0; i < 450; ++i)
                            Assert.AreEqual(6, ports.List().Length);
                        grown = HeapInUse() - before;
                        Console.WriteLine("C heap growth over 450 port lists: {0} bytes in {1} ms", grown,
                                          listing.ElapsedMilliseconds);
                        // A list not released (or its 18 texts) leaks some
                        // 400 kB here.
                        Assert.Less(grown, 192L << 10, "the C heap grew by {0} bytes over 450 port lists", grown);
                    }
                } finally {
                    Directory.Delete(dir, true);
                }
            }
        }

        [DllImport("libc.so.6")] static extern int symlink(string target, string link);
    }
}

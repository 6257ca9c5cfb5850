// Calibration files through the C# binding: a simulated four-channel
// device's reads in newtons, and the library's messages for refused files.
using System;
using System.Diagnostics;
using System.IO;
using System.Threading;
using NUnit.Framework;

namespace Brv.Tests
{
    [TestFixture]
    public class CalibrationTests
    {
        // Channel 0 over x, y, z; a six-axis part over the channels' fields.
        const string Json = @"{
  ""format"": ""brova-calibration"", ""version"": 1,
  ""identity"": {""kind"": 34, ""identification"": ""CS-1""},
  ""units"": {""force"": ""N"", ""torque"": ""N*m""},
  ""channels"": [{""channel"": 0, ""inputs"": [""x"", ""y"", ""z""],
                  ""matrix"": [[0.5, 0, 0], [0, 0.25, 0], [0, 0, 0.001]], ""bias"": [1, 2, 3]}],
  ""sixAxis"": {""inputs"": [""sensor1.x"", ""sensor2.y"", ""sensor3.z"", ""sensor4.x"", ""sensor1.y"", ""sensor4.z""],
    ""matrix"": [[0.01, 0, 0, 0, 0, 0], [0, 0.02, 0, 0, 0, 0], [0, 0, 0.03, 0, 0, 0],
               [0, 0, 0, 0.004, 0, 0], [0, 0, 0, 0, 0.005, 0], [0, 0, 0, 0, 0, 0.006]],
    ""bias"": [1, 2, 3, 4, 5, 6]}
}";

        static string Write(string name, string text)
        {
            string path = Path.Combine(Path.GetTempPath(), "brvcal" + Process.GetCurrentProcess().Id + name);
            File.WriteAllText(path, text);
            return path;
        }

        static T Within<T>(Func<T> read, Func<T, bool> done)
        {
            var clock = Stopwatch.StartNew();
            T value = read();
            while (!done(value) && clock.ElapsedMilliseconds < 3000) {
                Thread.Sleep(10);
                value = read();
            }
            return value;
        }

        [Test]
        public void FlagsOfASaturatedSensorAndItsRatedRange()
        {
            // Elements near 20000 counts, saturating above 15000: every
            // channel at its rails; x of channel 0 far over its 10 N range.
            string path = Write("range.json", Json.Replace(@"""bias"": [1, 2, 3]}]",
                                                           @"""bias"": [1, 2, 3], ""range"": [10, 10000, 1000]}]"));
            try {
                using (var cal = Calibration.Load(path))
                using (var sim = new Sim(34, "--saturate", "15000"))
                using (var sensor = new Sensor(sim.Port, "34")) {
                    CollectionAssert.AreEqual(new double[] { 10, 10000, 1000 }, cal.RatedRange(0));
                    Assert.AreEqual(0, cal.RatedRange(1).Length);
                    Package[][] all = Within(() => sensor.ReadAll(), v => v[0].Length > 0);
                    uint[] flags = sensor.GetFlags();
                    Assert.AreEqual(all[0].Length, flags.Length);
                    const uint rails = SampleFlags.Rail | SampleFlags.ElementRail | SampleFlags.VectorRail;
                    foreach (uint f in flags)
                        Assert.AreEqual(rails | (SampleFlags.ChannelRail * 0xF), f);
                    cal.ApplyForces(all, false, flags);
                    foreach (uint f in flags)
                        Assert.AreEqual(rails | (SampleFlags.ChannelRail * 0xF) | SampleFlags.OverRange |
                                        SampleFlags.AxisOverRange, f);
                }
            } finally {
                File.Delete(path);
            }
        }

        [Test]
        public void SimulatorReadsInNewtons()
        {
            string path = Write("good.json", Json);
            try {
                using (var cal = Calibration.Load(path))
                using (var sim = new Sim(34))
                using (var sensor = new Sensor(sim.Port, "34")) {
                    Assert.AreEqual(34, cal.Kind);
                    Assert.IsTrue(cal.Matches(34, "CS-1"));
                    Assert.IsTrue(cal.Matches(new PortInfo(sim.Port, "34 v0.9", "")));
                    Assert.IsFalse(cal.Matches(94, "CS-1"));
                    StringAssert.Contains("kind", cal.LastError);

                    double[][,] f = Within(() => sensor.ReadAllForces(cal, false), v => v[0].GetLength(0) > 0);
                    Assert.AreEqual(4, f.Length);
                    Assert.Greater(f[0].GetLength(0), 0);
                    for (int k = 0; k < f[0].GetLength(0); ++k) {
                        Assert.AreEqual(0.5 * Sim.Load[0] + 1, f[0][k, 0], 1e-9);
                        Assert.AreEqual(0.25 * Sim.Load[1] + 2, f[0][k, 1], 1e-9);
                        Assert.AreEqual(0.001 * Sim.Load[2] + 3, f[0][k, 2], 1e-9);
                        Assert.IsTrue(double.IsNaN(f[1][k, 0]) && double.IsNaN(f[3][k, 2]));
                    }

                    Package[][] all = Within(() => sensor.ReadAll(), v => v[0].Length > 0);
                    double[,] w = cal.ApplyWrenchesFromChannels(all, true);  // tared: no bias
                    double[] counts = { Sim.Load[0], Sim.Load[1], Sim.Load[2], Sim.Load[0], Sim.Load[1], Sim.Load[2] };
                    double[] gain = { 0.01, 0.02, 0.03, 0.004, 0.005, 0.006 };
                    var six = new[] { new Package6D { Sensor1 = all[0][0], Sensor2 = all[1][0], Sensor3 = all[2][0],
                                                      Sensor4 = all[3][0] } };
                    double[,] w6 = cal.ApplyWrenches(six, true);
                    for (int j = 0; j < 6; ++j) {
                        Assert.AreEqual(gain[j] * counts[j], w[0, j], 1e-9);
                        Assert.AreEqual(w[0, j], w6[0, j], 1e-12);
                    }
                }
            } finally {
                File.Delete(path);
            }
        }

        [Test]
        public void RefusedFilesThrowTheLibrarysMessage()
        {
            string bad = Write("bad.json", Json.Replace("[[0.5, 0, 0], ", "["));
            string forcesOnly = Write("forces.json", Json.Substring(0, Json.IndexOf(",\n  \"\"sixAxis\"\"".Replace("\"\"", "\""))) + "}");
            try {
                var e = Assert.Throws<CalibrationException>(() => Calibration.Load(bad));
                StringAssert.Contains(bad, e.Message);
                StringAssert.Contains("channels[0].matrix", e.Message);
                using (var cal = Calibration.Load(forcesOnly)) {
                    var none = new[] { new Package[1], new Package[1], new Package[1], new Package[1] };
                    Assert.Throws<CalibrationException>(() => cal.ApplyWrenchesFromChannels(none, false));
                    Assert.AreEqual(3.0, cal.ApplyForces(none, false)[0][0, 2]);  // z 0: the bias alone
                }
            } finally {
                File.Delete(bad);
                File.Delete(forcesOnly);
            }
        }
    }
}

// Port discovery: the sensors present, and plug and unplug events raised by
// Poll (call it from a timer, or from a loop of your own).
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Brv
{
    public sealed class PortEventArgs : EventArgs
    {
        public readonly PortInfo Port;
        public PortEventArgs(PortInfo port) { Port = port; }
    }

    public sealed class Ports : IDisposable
    {
        private readonly PortsHandle ports;

        // Starts discovery of every sensor kind; the first List waits for
        // its first scan.
        public Ports()
        {
            ports = Native.callBrovaPorts_Create();
            if (ports.IsInvalid)
                throw new BrvException("the library could not create a port-discovery object");
        }

        public void Dispose() { ports.Dispose(); }

        private PortsHandle Handle
        {
            get {
                if (ports.IsClosed)
                    throw new ObjectDisposedException("Ports");
                return ports;
            }
        }

        public event EventHandler<PortEventArgs> Plugged;
        public event EventHandler<PortEventArgs> Unplugged;

        // The number of sensors present now.
        public int Count { get { return Native.callGetSizePorts(Handle); } }

        // Also watch path, a port the system does not list as a serial port
        // (a pseudo-terminal, a virtual port).
        public void Watch(string path)
        {
            if (!Native.callWatchPort(Handle, path))
                throw new ArgumentException("a port path has 1 to 24 bytes", "path");
        }

        // The sensors present now.
        public PortInfo[] List()
        {
            PortsHandle h = Handle;
            IntPtr list = Native.callListPorts(h);
            int count = Native.callGetLastSize(h);
            if (list == IntPtr.Zero)
                return new PortInfo[0];
            try {
                PortInfo[] result = new PortInfo[count];
                for (int i = 0; i < count; ++i)
                    result[i] = new PortInfo(Text(list, 3 * i), Text(list, 3 * i + 1), Text(list, 3 * i + 2));
                return result;
            } finally {
                Native.callDeletePORTLIST(ref list, count);
            }
        }

        private static string Text(IntPtr array, int index)
        {
            return Marshal.PtrToStringAnsi(Marshal.ReadIntPtr(array, index * IntPtr.Size)) ?? "";
        }

        private delegate void Take(PortsHandle h, IntPtr[] triple);

        private static PortInfo TakeOne(PortsHandle h, Take take)
        {
            IntPtr[] triple = new IntPtr[3];
            take(h, triple);
            try {
                return new PortInfo(Marshal.PtrToStringAnsi(triple[0]) ?? "", Marshal.PtrToStringAnsi(triple[1]) ?? "",
                                    Marshal.PtrToStringAnsi(triple[2]) ?? "");
            } finally {
                Native.callDeleteBPORT(triple);
            }
        }

        private delegate bool Waiting(PortsHandle h);

        private PortInfo[] Drain(Waiting waiting, Take take)
        {
            PortsHandle h = Handle;
            List<PortInfo> taken = new List<PortInfo>();
            while (waiting(h)) {
                PortInfo p = TakeOne(h, take);
                if (p.Port.Length > 0)
                    taken.Add(p);
            }
            return taken.ToArray();
        }

        // Sensors plugged in since the last call.
        public PortInfo[] NewPorts() { return Drain(Native.callIsNewPort, Native.callGetNewPort); }

        // Sensors unplugged since the last call (only Port is set).
        public PortInfo[] LostPorts() { return Drain(Native.callIsLostPort, Native.callGetLostPort); }

        // Raises Plugged and Unplugged for what changed since the last call;
        // returns how many events it raised.
        public int Poll()
        {
            int events = 0;
            foreach (PortInfo p in NewPorts()) {
                ++events;
                EventHandler<PortEventArgs> e = Plugged;
                if (e != null)
                    e(this, new PortEventArgs(p));
            }
            foreach (PortInfo p in LostPorts()) {
                ++events;
                EventHandler<PortEventArgs> e = Unplugged;
                if (e != null)
                    e(this, new PortEventArgs(p));
            }
            return events;
        }
    }
}

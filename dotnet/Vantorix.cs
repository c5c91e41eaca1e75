// GetVantorixInfo for .NET: reads the processor readings that the Vantorix
// monitor publishes, through the GetVantorixInfo library (P/Invoke).
//
//     var snapshot = GetVantorixInfo.Vantorix.Read();
//     Console.WriteLine(snapshot.CpuName + ": " + string.Join(", ", snapshot.Temp));
//
// The rules are the Python binding's (python/getvantorixinfo): a reading the
// monitor did not report is null, a read waits at most its timeout for a
// monitor that holds its mutex, a failed read throws with the platform's code.
//
// Compiled by Mono's mcs with the options in GetVantorixInfo.rsp (mcs reads no
// comments there), from the source tree's top:
//     mcs @dotnet/GetVantorixInfo.rsp -out:DIR/GetVantorixInfo.dll -doc:DIR/GetVantorixInfo.xml
// against the .NET Framework 4.6.1 reference assemblies that Mono ships
// (-sdk:4.6.1-api, /usr/lib/mono/4.6.1-api): an API that .NET Framework 4.6.1+
// and Windows PowerShell 5.1 load as it is, and .NET 6+ and PowerShell 7
// through their mscorlib facade. Not netstandard2.0: mcs, the only C# compiler
// Debian has, cannot compile against the netstandard facade, which forwards the
// predefined types instead of defining them (error CS0518 for System.Object and
// the rest). How the native library is found: NativeLibrary.cs.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Threading;
using System.Threading.Tasks;

[assembly: AssemblyTitle("GetVantorixInfo")]
[assembly: AssemblyDescription("Reads the processor readings that the Vantorix monitor publishes in shared memory")]
[assembly: AssemblyProduct("GetVantorixInfo")]
// The project's version (CMakeLists.txt); scripts/package-dotnet.sh checks it.
[assembly: AssemblyVersion("1.0.0.0")]
[assembly: AssemblyFileVersion("1.0.0.0")]
[assembly: AssemblyInformationalVersion("1.0.0")]
[assembly: ComVisible(false)]

namespace GetVantorixInfo
{
    /// <summary>The monitor's 2688-byte record, field for field at its offset in
    /// GetVantorixInfo.h. Units and scales are the monitor's; nothing is converted
    /// and nothing is read as missing: that is <see cref="Snapshot"/>'s job.</summary>
    [StructLayout(LayoutKind.Explicit, Size = Size)]
    public struct VantorixSharedData
    {
        /// <summary>The record's size in bytes.</summary>
        public const int Size = 2688;
        /// <summary>Load of each core, by core index 0-255.</summary>
        [FieldOffset(0)] [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)] public int[] CoreLoad;
        /// <summary>TjMax values, by index 0-127.</summary>
        [FieldOffset(1024)] [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)] public int[] TjMax;
        /// <summary>Number of cores.</summary>
        [FieldOffset(1536)] public int CoreTotal;
        /// <summary>Number of processors.</summary>
        [FieldOffset(1540)] public int CpuTotal;
        /// <summary>Temperature of each core, by core index 0-255.</summary>
        [FieldOffset(1544)] [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)] public float[] Temp;
        /// <summary>VID.</summary>
        [FieldOffset(2568)] public float VidValue;
        /// <summary>Processor clock speed.</summary>
        [FieldOffset(2572)] public float CpuClock;
        /// <summary>FSB (bus) clock speed.</summary>
        [FieldOffset(2576)] public float FsbClock;
        /// <summary>Clock multiplier.</summary>
        [FieldOffset(2580)] public float ClockMultiplier;
        /// <summary>Processor name: 100 8-bit characters as the monitor wrote them,
        /// not necessarily ending with a zero inside the field.</summary>
        [FieldOffset(2584)] [MarshalAs(UnmanagedType.ByValArray, SizeConst = 100)] public byte[] CpuName;
        /// <summary>Nonzero: temperatures are in degrees Fahrenheit.</summary>
        [FieldOffset(2684)] public byte Fahrenheit;
        /// <summary>Nonzero: temperatures are distances to TjMax.</summary>
        [FieldOffset(2685)] public byte DistanceToTjMax;
        /// <summary>Padding (two bytes); carries no reading.</summary>
        [FieldOffset(2686)] public ushort Reserved;
    }

    /// <summary>One record, with the per-core arrays cut to the cores that exist,
    /// and null for each reading the monitor did not report (0, but for a
    /// temperature in distance-to-TjMax mode, where 0 is a core at TjMax).</summary>
    public sealed class Snapshot
    {
        /// <summary>The processor's name: 8-bit characters (ISO-8859-1) up to the first zero, at most 100.</summary>
        public string CpuName { get; internal set; }
        /// <summary>Number of processors.</summary>
        public int CpuTotal { get; internal set; }
        /// <summary>Number of cores, as the monitor wrote it.</summary>
        public int CoreTotal { get; internal set; }
        /// <summary>Temperature of each core (CoreTotal entries, at most 256); null: not reported.</summary>
        public IReadOnlyList<float?> Temp { get; internal set; }
        /// <summary>Load of each core (CoreTotal entries, at most 256); 0 is a real load.</summary>
        public IReadOnlyList<int> CoreLoad { get; internal set; }
        /// <summary>TjMax of each core (CoreTotal entries, at most 128); null: not reported.</summary>
        public IReadOnlyList<int?> TjMax { get; internal set; }
        /// <summary>VID; null: not reported.</summary>
        public float? VidValue { get; internal set; }
        /// <summary>Processor clock; null: not reported.</summary>
        public float? CpuClock { get; internal set; }
        /// <summary>FSB (bus) clock; null: not reported.</summary>
        public float? FsbClock { get; internal set; }
        /// <summary>Clock multiplier; null: not reported.</summary>
        public float? ClockMultiplier { get; internal set; }
        /// <summary>Temperatures are in degrees Fahrenheit.</summary>
        public bool Fahrenheit { get; internal set; }
        /// <summary>Temperatures are distances to TjMax.</summary>
        public bool DistanceToTjMax { get; internal set; }
        /// <summary>Whether a running monitor holds the record's region: false for a
        /// dead monitor's last record (Linux), null where it cannot be known
        /// (Windows), as "monitor_alive" in vantorix-info's JSON.</summary>
        public bool? MonitorAlive { get; internal set; }
        /// <summary>The whole record as it was copied; each get makes a new one, so
        /// changing its arrays changes nothing here.</summary>
        public VantorixSharedData Record
        {
            get { return block != null ? Vantorix.ToRecord(block) : default(VantorixSharedData); }
        }

        internal byte[] block;  // the record's bytes as the library copied them
    }

    /// <summary>A read failed. <see cref="Code"/> is the platform's error code
    /// (GetLastError on Windows, errno on Linux); the message is the system's
    /// text for it, followed by <see cref="Hint"/> when there is one.</summary>
    [Serializable]
    public class VantorixException : Exception
    {
        /// <summary>The platform's error code; 0 when none was given.</summary>
        public int Code { get; private set; }
        /// <summary>False exactly when the code says that the monitor's region does
        /// not exist (no monitor, or on Linux none of this user's), as
        /// "monitor_running" in vantorix-info's JSON; null when the library itself
        /// could not be loaded, or when not known.</summary>
        public bool? MonitorRunning { get; private set; }
        /// <summary>What to start (no monitor runs) or install (no library), or null.</summary>
        public string Hint { get; private set; }

        /// <summary>A failure with no code (0) and the runtime's default message.</summary>
        public VantorixException()
        {
        }

        /// <summary>A failure with no code (0) and this message.</summary>
        public VantorixException(string message)
            : base(message)
        {
        }

        /// <summary>A failure with no code (0), this message and its cause.</summary>
        public VantorixException(string message, Exception innerException)
            : base(message, innerException)
        {
        }

        /// <summary>A failure with the platform's code, a message, whether the
        /// monitor runs and what to do (or null); the message is
        /// <paramref name="message"/> followed by the hint.</summary>
        public VantorixException(int code, string message, bool? monitorRunning, string hint)
            : this(code, message, monitorRunning, hint, null)
        {
        }

        /// <summary>As the constructor above, with the failure's cause.</summary>
        protected internal VantorixException(int code, string message, bool? monitorRunning, string hint,
                                             Exception innerException)
            : base(hint == null ? message : message + "; " + hint, innerException)
        {
            Code = code;
            MonitorRunning = monitorRunning;
            Hint = hint;
        }

        /// <summary>Deserializes one, with its code, monitor state and hint.</summary>
        protected VantorixException(SerializationInfo info, StreamingContext context)
            : base(info, context)
        {
            Code = info.GetInt32("Code");
            MonitorRunning = (bool?)info.GetValue("MonitorRunning", typeof(bool?));
            Hint = info.GetString("Hint");
        }

        /// <summary>Serializes it with its code, monitor state and hint.</summary>
        public override void GetObjectData(SerializationInfo info, StreamingContext context)
        {
            base.GetObjectData(info, context);
            info.AddValue("Code", Code);
            info.AddValue("MonitorRunning", MonitorRunning, typeof(bool?));
            info.AddValue("Hint", Hint);
        }

        internal static VantorixException ForCode(int code)
        {
            bool running = code != NativeLibrary.NotFound;
            return new VantorixException(code, NativeLibrary.ErrorText(code), running,
                                         running ? null : "the Vantorix monitor is not running: " + NativeLibrary.StartMonitor);
        }
    }

    /// <summary>The monitor held its mutex for longer than the read's timeout: it
    /// runs, but does not let its record be read (vantorix-info's exit status 4).
    /// Its code is WAIT_TIMEOUT (258) on Windows, ETIMEDOUT on Linux, and
    /// MonitorRunning is true, whichever constructor made it.</summary>
    [Serializable]
    public class VantorixNotRespondingException : VantorixException
    {
        const string Text = "the monitor is not responding (it holds its mutex)";

        /// <summary>The read's failure, with its standard message.</summary>
        public VantorixNotRespondingException()
            : this(Text)
        {
        }

        /// <summary>With this message.</summary>
        public VantorixNotRespondingException(string message)
            : this(message, null)
        {
        }

        /// <summary>With this message and its cause.</summary>
        public VantorixNotRespondingException(string message, Exception innerException)
            : base(NativeLibrary.TimedOut, message, true, null, innerException)
        {
        }

        /// <summary>Deserializes one.</summary>
        protected VantorixNotRespondingException(SerializationInfo info, StreamingContext context)
            : base(info, context)
        {
        }
    }

    /// <summary>Reads the monitor's record.</summary>
    public static class Vantorix
    {
        /// <summary>The timeout of <see cref="Read()"/>: 3 seconds, as vantorix-info's.</summary>
        public static readonly TimeSpan DefaultTimeout = TimeSpan.FromSeconds(3);

        static Vantorix()
        {
            // The layout as the marshaller sees it: what the library writes into.
            if (Marshal.SizeOf(typeof(VantorixSharedData)) != VantorixSharedData.Size)
                throw new InvalidOperationException("VantorixSharedData is not 2688 bytes");
        }

        /// <summary>Copies the monitor's current record, waiting at most 3 seconds
        /// for a monitor that holds its mutex.</summary>
        /// <exception cref="VantorixNotRespondingException">The monitor held its mutex for 3 seconds.</exception>
        /// <exception cref="VantorixException">Any other failure.</exception>
        public static Snapshot Read()
        {
            return Read(DefaultTimeout, CancellationToken.None);
        }

        /// <summary>Copies the monitor's current record, waiting at most
        /// <paramref name="timeout"/> (positive, or Timeout.InfiniteTimeSpan) for a
        /// monitor that holds its mutex. The timeout counts from the library's
        /// call: loading the library, on the first read, does not count.</summary>
        public static Snapshot Read(TimeSpan timeout)
        {
            return Read(timeout, CancellationToken.None);
        }

        /// <summary>As <see cref="Read()"/>; a cancelled token ends a waiting read at
        /// once with OperationCanceledException.</summary>
        public static Snapshot Read(CancellationToken cancellationToken)
        {
            return Read(DefaultTimeout, cancellationToken);
        }

        /// <summary>As <see cref="Read(TimeSpan)"/>; a cancelled token ends a waiting
        /// read at once with OperationCanceledException.</summary>
        public static Snapshot Read(TimeSpan timeout, CancellationToken cancellationToken)
        {
            Check(timeout);
            cancellationToken.ThrowIfCancellationRequested();
            NativeLibrary.Load();
            Copy copy = Copy.Join();
            copy.Started.Wait(cancellationToken);  // this process's own thread, not the monitor
            Stopwatch clock = Stopwatch.StartNew();  // the timeout counts from here
            while (!copy.Done.Wait(Left(timeout, clock), cancellationToken))
                if (clock.Elapsed >= timeout)
                    throw new VantorixNotRespondingException();
            return copy.Result();
        }

        /// <summary>As <see cref="Read()"/>, without blocking the calling thread: the
        /// copy runs on a thread of the assembly's own, and the task completes when
        /// it ends or the timeout runs out (the first read also loads the library on
        /// the thread pool).</summary>
        public static Task<Snapshot> ReadAsync()
        {
            return ReadAsync(DefaultTimeout, CancellationToken.None);
        }

        /// <summary>As <see cref="Read(TimeSpan)"/>, without blocking the calling thread.</summary>
        public static Task<Snapshot> ReadAsync(TimeSpan timeout)
        {
            return ReadAsync(timeout, CancellationToken.None);
        }

        /// <summary>As <see cref="Read(CancellationToken)"/>, without blocking the calling thread.</summary>
        public static Task<Snapshot> ReadAsync(CancellationToken cancellationToken)
        {
            return ReadAsync(DefaultTimeout, cancellationToken);
        }

        /// <summary>As <see cref="Read(TimeSpan, CancellationToken)"/>, without
        /// blocking the calling thread: a cancelled token ends the task at once as
        /// cancelled.</summary>
        public static Task<Snapshot> ReadAsync(TimeSpan timeout, CancellationToken cancellationToken)
        {
            Check(timeout);  // a wrong argument throws here, not in the task
            return ReadAsyncCore(timeout, cancellationToken);
        }

        static async Task<Snapshot> ReadAsyncCore(TimeSpan timeout, CancellationToken cancellationToken)
        {
            cancellationToken.ThrowIfCancellationRequested();
            if (!NativeLibrary.Loaded)
                await Task.Run(() => NativeLibrary.Load(), cancellationToken).ConfigureAwait(false);
            Copy copy = Copy.Join();
            await Ended(copy.Started, Timeout.Infinite, cancellationToken).ConfigureAwait(false);
            Stopwatch clock = Stopwatch.StartNew();  // the timeout counts from here
            while (!await Ended(copy.Done, Left(timeout, clock), cancellationToken).ConfigureAwait(false))
                if (clock.Elapsed >= timeout)
                    throw new VantorixNotRespondingException();
            return copy.Result();
        }

        // Whether the task ended within the milliseconds; OperationCanceledException
        // when the token is cancelled first.
        static async Task<bool> Ended(Task task, int milliseconds, CancellationToken cancellationToken)
        {
            if (task.IsCompleted)
                return true;
            using (var stop = CancellationTokenSource.CreateLinkedTokenSource(cancellationToken))
            {
                await Task.WhenAny(task, Task.Delay(milliseconds, stop.Token)).ConfigureAwait(false);
                stop.Cancel();  // the timer goes with it
            }
            if (task.IsCompleted)
                return true;
            cancellationToken.ThrowIfCancellationRequested();
            return false;
        }

        static void Check(TimeSpan timeout)
        {
            if (timeout != Timeout.InfiniteTimeSpan &&
                (timeout <= TimeSpan.Zero || timeout.TotalMilliseconds > int.MaxValue))
                throw new ArgumentOutOfRangeException("timeout", "a positive time, or Timeout.InfiniteTimeSpan");
        }

        // What is left of the timeout in whole milliseconds, rounded up: never a
        // wait that ends early.
        static int Left(TimeSpan timeout, Stopwatch clock)
        {
            if (timeout == Timeout.InfiniteTimeSpan)
                return Timeout.Infinite;
            return (int)Math.Max(0, Math.Ceiling((timeout - clock.Elapsed).TotalMilliseconds));
        }

        internal static Snapshot ToSnapshot(byte[] block)
        {
            VantorixSharedData record = ToRecord(block);
            int cores = Math.Max(0, Math.Min(record.CoreTotal, 256));
            bool distance = record.DistanceToTjMax != 0;
            var temp = new float?[cores];
            var load = new int[cores];
            var tjMax = new int?[Math.Min(cores, 128)];
            Array.Copy(record.CoreLoad, load, cores);
            for (int core = 0; core < cores; ++core)
                // In distance-to-TjMax mode a temperature of 0 is a core at TjMax.
                temp[core] = distance ? record.Temp[core] : Reported(record.Temp[core]);
            for (int index = 0; index < tjMax.Length; ++index)
                tjMax[index] = record.TjMax[index] != 0 ? record.TjMax[index] : (int?)null;
            return new Snapshot
            {
                CpuName = Name(record.CpuName),
                CpuTotal = record.CpuTotal,
                CoreTotal = record.CoreTotal,
                Temp = Array.AsReadOnly(temp),
                CoreLoad = Array.AsReadOnly(load),
                TjMax = Array.AsReadOnly(tjMax),
                VidValue = Reported(record.VidValue),
                CpuClock = Reported(record.CpuClock),
                FsbClock = Reported(record.FsbClock),
                ClockMultiplier = Reported(record.ClockMultiplier),
                Fahrenheit = record.Fahrenheit != 0,
                DistanceToTjMax = distance,
                MonitorAlive = Liveness.Probe(),
                block = block,
            };
        }

        internal static VantorixSharedData ToRecord(byte[] block)
        {
            GCHandle pin = GCHandle.Alloc(block, GCHandleType.Pinned);
            try
            {
                return (VantorixSharedData)Marshal.PtrToStructure(pin.AddrOfPinnedObject(), typeof(VantorixSharedData));
            }
            finally
            {
                pin.Free();
            }
        }

        // A reading, or null for 0: the record's "not reported".
        static float? Reported(float value)
        {
            return value != 0 ? value : (float?)null;
        }

        // 8-bit characters, each byte the character of that number (ISO-8859-1),
        // up to the first zero, at most the field's 100: as vantorix-info reads it.
        static string Name(byte[] field)
        {
            var name = new System.Text.StringBuilder(field.Length);
            foreach (byte b in field)
            {
                if (b == 0) break;
                name.Append((char)b);
            }
            return name.ToString();
        }
    }

    // One call of fnGetVantorixInfo on a thread of its own: the library waits for
    // the monitor's mutex without a deadline, and a thread inside a native call
    // cannot be interrupted. A read that gives up leaves the call to finish on
    // its own; a later read waits for that same call rather than start another,
    // so a monitor that never lets go costs one thread, not one per read. (Mono,
    // unlike .NET, waits at exit for this thread, which it cannot stop while the
    // library waits: docs/dotnet.md.) Started ends just before the call, so that
    // a read's timeout measures the call and not the thread's start; the record's
    // bytes become a Snapshot in each reader's own thread.
    sealed class Copy
    {
        static readonly object Gate = new object();
        static Copy current;

        readonly TaskCompletionSource<bool> started =
            new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
        readonly TaskCompletionSource<bool> done =
            new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
        readonly byte[] block = new byte[VantorixSharedData.Size];
        bool copied;
        int code;
        Exception failure;

        internal Task Started { get { return started.Task; } }
        internal Task Done { get { return done.Task; } }

        internal static Copy Join()
        {
            lock (Gate)
            {
                if (current == null)
                {
                    current = new Copy();
                    new Thread(current.Run) { IsBackground = true, Name = "vantorix-read" }.Start();
                }
                return current;
            }
        }

        // The read's outcome, once Done: a new exception for each reader that
        // shares the call.
        internal Snapshot Result()
        {
            if (copied)
                return Vantorix.ToSnapshot(block);
            if (failure == null)
                throw VantorixException.ForCode(code);
            if (failure is DllNotFoundException || failure is EntryPointNotFoundException ||
                failure is BadImageFormatException)
                throw NativeLibrary.NotLoaded(failure);
            throw new VantorixException(0, "the GetVantorixInfo library's call failed: " + failure.Message, null, null,
                                        failure);
        }

        void Run()
        {
            GCHandle pin = GCHandle.Alloc(block, GCHandleType.Pinned);
            try
            {
                IntPtr data = pin.AddrOfPinnedObject();
                started.SetResult(true);
                copied = NativeLibrary.GetVantorixInfo(ref data);
                if (!copied)
                    code = Marshal.GetLastWin32Error();  // this thread's code, right after the call
            }
            catch (Exception error)
            {
                failure = error;
            }
            finally
            {
                pin.Free();
                lock (Gate)
                {
                    current = null;
                }
                started.TrySetResult(true);
                done.SetResult(true);
            }
        }
    }
}

// The .NET binding as a C# program uses it, for tests/dotnet/dotnet_binding_test.py
// (compiled with mcs against the built assembly, run with mono):
//   probe read [SECONDS]    Vantorix.Read() (or Read(SECONDS)): the snapshot as JSON
//                           with vantorix-info's field names, or the exception
//   probe read-async SECONDS  the same through ReadAsync(SECONDS)
//   probe hold SECONDS N [async]  N reads of Read(SECONDS) (or ReadAsync), each
//                           exception as JSON with the seconds it took (and, async,
//                           whether the task was still pending when ReadAsync
//                           returned); then "waiting", and a read without a
//                           deadline that a line on standard input cancels
//   probe exceptions        each exception type's standard constructors, and one
//                           of each after a round trip through serialization
//   probe layout            VantorixSharedData as vantorix-layout prints the C header's
//   probe library           reads, then prints the file of the native library it loaded
// Floats are printed as the shortest decimal that reads back as the same
// single-precision value, as vantorix-info prints them.
using System;
using System.Collections;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Runtime.Serialization.Formatters.Binary;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;
using GetVantorixInfo;

static class Probe
{
    static int Main(string[] args)
    {
        switch (args[0])
        {
            case "read":
                Console.WriteLine(Read(args.Length > 1 ? Seconds(args[1]) : (TimeSpan?)null, false));
                return 0;
            case "read-async":
                Console.WriteLine(Read(Seconds(args[1]), true));
                return 0;
            case "hold":
                return Hold(Seconds(args[1]), int.Parse(args[2]), args.Length > 3 && args[3] == "async");
            case "exceptions":
                Exceptions();
                return 0;
            case "layout":
                Layout();
                return 0;
            case "library":
                Vantorix.Read();
                foreach (string line in File.ReadAllLines("/proc/self/maps").Where(l => l.Contains("libGetVantorixInfo")))
                    Console.WriteLine(line.Substring(line.IndexOf('/')));
                return 0;
        }
        return 2;
    }

    static TimeSpan Seconds(string text)
    {
        return TimeSpan.FromSeconds(double.Parse(text, CultureInfo.InvariantCulture));
    }

    static string Read(TimeSpan? timeout, bool async)
    {
        var watch = Stopwatch.StartNew();
        string pending = null;
        try
        {
            if (!async)
                return Json(timeout.HasValue ? Vantorix.Read(timeout.Value) : Vantorix.Read());
            Task<Snapshot> task = Vantorix.ReadAsync(timeout.Value);
            pending = Pair("pending", !task.IsCompleted);
            return Json(task.GetAwaiter().GetResult());
        }
        catch (Exception error)
        {
            string failure = Failure(error, watch.Elapsed.TotalSeconds);
            return pending == null ? failure : failure.Insert(1, pending + ",");
        }
    }

    static int Hold(TimeSpan timeout, int count, bool async)
    {
        for (int i = 0; i < count; ++i)
            Console.WriteLine(Read(timeout, async));
        Console.WriteLine("waiting");
        using (var cancel = new CancellationTokenSource())
        {
            var cancelled = new Stopwatch();
            new Thread(() =>
            {
                Console.In.ReadLine();
                cancelled.Start();
                cancel.Cancel();
            }) { IsBackground = true }.Start();
            try
            {
                if (async)
                    Vantorix.ReadAsync(Timeout.InfiniteTimeSpan, cancel.Token).GetAwaiter().GetResult();
                else
                    Vantorix.Read(Timeout.InfiniteTimeSpan, cancel.Token);
                Console.WriteLine("{\"read\":true}");
            }
            catch (Exception error)
            {
                Console.WriteLine(Failure(error, cancelled.Elapsed.TotalSeconds));
            }
        }
        return 0;  // under Mono the exit then waits for the copy, which waits for the monitor
    }

    static void Exceptions()
    {
        var made = new Exception[]
        {
            new VantorixException(), new VantorixException("m"), new VantorixException("m", new TimeoutException()),
            new VantorixException(2, "m", false, "h"), new VantorixNotRespondingException(),
            new VantorixNotRespondingException("m"), new VantorixNotRespondingException("m", new TimeoutException()),
        };
        foreach (Exception error in made)
        {
            var formatter = new BinaryFormatter();
            var stream = new MemoryStream();
            formatter.Serialize(stream, error);
            stream.Position = 0;
            foreach (Exception copy in new[] { error, (Exception)formatter.Deserialize(stream) })
                Console.WriteLine(Failure(copy, 0).Replace("}", "," + Pair("inner", copy.InnerException != null) + "}"));
        }
    }

    static void Layout()
    {
        Type record = typeof(VantorixSharedData);
        foreach (FieldInfo field in record.GetFields(BindingFlags.Public | BindingFlags.Instance))
        {
            var array = field.GetCustomAttribute<MarshalAsAttribute>();
            int size = array != null ? array.SizeConst * Marshal.SizeOf(field.FieldType.GetElementType())
                                     : Marshal.SizeOf(field.FieldType);
            Console.WriteLine("{0} {1} {2}", Regex.Replace(field.Name, "(?<=[a-z])(?=[A-Z])", "_").ToLowerInvariant(),
                              Marshal.OffsetOf(record, field.Name), size);
        }
        Console.WriteLine("total 0 {0}", Marshal.SizeOf(record));
    }

    static string Failure(Exception error, double seconds)
    {
        var vantorix = error as VantorixException;
        return "{" + string.Join(",",
            Pair("exception", error.GetType().Name),
            Pair("code", vantorix != null ? vantorix.Code : (object)null),
            Pair("monitor_running", vantorix != null ? vantorix.MonitorRunning : null),
            Pair("hint", vantorix != null ? vantorix.Hint : null),
            Pair("message", error.Message),
            Pair("seconds", seconds)) + "}";
    }

    static string Json(Snapshot s)
    {
        return "{" + string.Join(",",
            Pair("cpu_name", s.CpuName), Pair("cpu_total", s.CpuTotal), Pair("core_total", s.CoreTotal),
            Pair("core_load", s.CoreLoad), Pair("temp", s.Temp), Pair("tj_max", s.TjMax),
            Pair("vid_value", s.VidValue), Pair("cpu_clock", s.CpuClock), Pair("fsb_clock", s.FsbClock),
            Pair("clock_multiplier", s.ClockMultiplier), Pair("fahrenheit", s.Fahrenheit),
            Pair("distance_to_tj_max", s.DistanceToTjMax), Pair("monitor_alive", s.MonitorAlive)) + "}";
    }

    static string Pair(string name, object value)
    {
        return Value(name) + ":" + Value(value);
    }

    static string Value(object value)
    {
        if (value == null)
            return "null";
        if (value is bool)
            return (bool)value ? "true" : "false";
        if (value is float)
            return Shortest((float)value);
        if (value is double)
            return ((double)value).ToString("R", CultureInfo.InvariantCulture);
        if (value is int)
            return ((int)value).ToString(CultureInfo.InvariantCulture);
        var text = value as string;
        if (text != null)
        {
            var quoted = new StringBuilder("\"");
            foreach (char c in text)
                quoted.Append(c == '"' || c == '\\' || c < 0x20 || c > 0x7E ? string.Format("\\u{0:x4}", (int)c) : c.ToString());
            return quoted.Append('"').ToString();
        }
        return "[" + string.Join(",", ((IEnumerable)value).Cast<object>().Select(Value)) + "]";
    }

    static string Shortest(float value)
    {
        if (float.IsNaN(value) || float.IsInfinity(value))
            return "null";
        for (int digits = 1; digits <= 9; ++digits)  // nine digits always suffice
        {
            string text = value.ToString("G" + digits, CultureInfo.InvariantCulture);
            if (float.Parse(text, CultureInfo.InvariantCulture) == value)
                return text;
        }
        return value.ToString("G9", CultureInfo.InvariantCulture);
    }
}

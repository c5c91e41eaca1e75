// The native library: which file is loaded, the P/Invoke declaration of the
// flat function, and the platform's codes and texts. Every Windows-only line
// of the assembly is in this file, marked "Windows:".
//
// Finding the library. The assembly is AnyCPU, and one process is 32-bit or
// 64-bit, so before its first call it loads the library that matches the
// process from the first of these places that has one:
//   1. the folder named by the environment variable VANTORIX_LIBRARY_DIR;
//   2. Windows: x64\ or x86\ beside the assembly, by the process's bitness
//      (where build\net461\GetVantorixInfo.targets of the package puts the two
//      DLLs in a .NET Framework project's output);
//   3. runtimes/<rid>/native/ beside the assembly (a .NET 6+ project's output);
//   4. runtimes/<rid>/native/ two folders up: the package's own layout, for
//      Add-Type -Path ...\lib\net461\GetVantorixInfo.dll in an unpacked package;
//   5. beside the assembly.
// It loads it by its full path (LoadLibraryW, dlopen), and the DllImport below
// then binds to that loaded copy by its name. Where none of them has the
// library, the DllImport looks where the system's loader looks.
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;

namespace GetVantorixInfo
{
    static class NativeLibrary
    {
        internal static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;

        const string WindowsName = "GetVantorixInfo.dll";  // Windows
        // The soname: what ld.so matches a loaded copy by.
        const string LinuxName = "libGetVantorixInfo.so.1";

        // The platform's "does not exist" code: the monitor's region is not there
        // (ERROR_FILE_NOT_FOUND on Windows, ENOENT on Linux: both 2).
        internal const int NotFound = 2;
        // The platform's code for a wait that ran out (Linux: ETIMEDOUT).
        internal static readonly int TimedOut = Windows ? 258 : 110;  // Windows: WAIT_TIMEOUT
        // What to start when no monitor runs, and what to install when the
        // library is missing, as vantorix-info and the Python binding say it.
        internal static readonly string StartMonitor = Windows
            ? "start the Vantorix monitor"  // Windows
            : "start vantorix-publisher (systemctl --user start vantorix-publisher)";
        static readonly string Install = Windows
            ? "put GetVantorixInfo.dll in x86\\ and x64\\ beside the GetVantorixInfo assembly, " +  // Windows
              "or name its folder in VANTORIX_LIBRARY_DIR"
            : "install the getvantorixinfo .deb, or name the library's folder in VANTORIX_LIBRARY_DIR";

        // The flat function, as GetVantorixInfo.h declares it:
        //     extern "C" bool fnGetVantorixInfo(vantorix_shared_data*& data);
        // - ref IntPtr: a C++ reference is passed as the address of what it refers
        //   to, here the caller's pointer to its 2688-byte block; the library reads
        //   the pointer and does not change it.
        // - [return: MarshalAs(UnmanagedType.I1)]: C++'s bool is one byte; P/Invoke
        //   takes a bool to be the four-byte Win32 BOOL unless told, and would read
        //   whatever the rest of the return register holds.
        // - SetLastError = true: the reason for false is the calling thread's
        //   last-error code (GetLastError on Windows, errno on Linux), and the
        //   runtime saves it right after the call, before its own code can replace
        //   it, for Marshal.GetLastWin32Error on the same thread.
        // - CallingConvention.Cdecl: the function is not __stdcall. On x86 the
        //   P/Invoke default (Winapi: stdcall there) would leave the stack
        //   unbalanced; on x86-64 and Linux there is one convention and it changes
        //   nothing.
        // - ExactSpelling: the name is exported undecorated, with no A or W to try.
        [DllImport(WindowsName, EntryPoint = "fnGetVantorixInfo", CallingConvention = CallingConvention.Cdecl,
                   SetLastError = true, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.I1)]
        static extern bool GetVantorixInfoWindows(ref IntPtr data);  // Windows

        [DllImport(LinuxName, EntryPoint = "fnGetVantorixInfo", CallingConvention = CallingConvention.Cdecl,
                   SetLastError = true, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.I1)]
        static extern bool GetVantorixInfoLinux(ref IntPtr data);

        internal static bool GetVantorixInfo(ref IntPtr data)
        {
            return Windows ? GetVantorixInfoWindows(ref data) : GetVantorixInfoLinux(ref data);
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true, ExactSpelling = true)]
        static extern IntPtr LoadLibraryW(string path);  // Windows

        [DllImport("libdl.so.2")]
        static extern IntPtr dlopen(string path, int mode);

        [DllImport("libdl.so.2")]
        static extern IntPtr dlerror();

        [DllImport("libc.so.6")]
        static extern IntPtr strerror(int code);

        const int RTLD_NOW = 2;

        static readonly object Gate = new object();
        static volatile bool loaded;
        static string loadErrors = "";

        // Whether Load has found the library, by a path of its own or the system's.
        internal static bool Loaded { get { return loaded; } }

        // Loads the library from the first place above that has it, and calls
        // its function once with a null destination, which the library refuses
        // before it acquires anything: the runtime looks up the DllImport and
        // builds its marshalling at a first call, which under Mono on a busy
        // machine takes tens of milliseconds, and that is not the first read's,
        // whose timeout counts the call alone.
        internal static void Load()
        {
            lock (Gate)
            {
                if (loaded)
                    return;
                var errors = new List<string>();
                foreach (string path in Candidates())
                {
                    if (!File.Exists(path))
                        continue;
                    string error = Windows ? LoadWindows(path) : LoadLinux(path);
                    if (error == null)
                        break;
                    errors.Add(path + ": " + error);
                }
                loadErrors = string.Join("; ", errors);
                try
                {
                    IntPtr none = IntPtr.Zero;
                    GetVantorixInfo(ref none);
                    loaded = true;
                }
                catch (Exception error) when (error is DllNotFoundException || error is EntryPointNotFoundException ||
                                              error is BadImageFormatException)
                {
                    // Not found, here or by the system's loader: each read tries again, and says so.
                }
            }
        }

        static IEnumerable<string> Candidates()
        {
            string name = Windows ? WindowsName : LinuxName;
            string rid = Windows ? (IntPtr.Size == 8 ? "win-x64" : "win-x86") : "linux-x64";  // Windows: win-*
            string folder = Environment.GetEnvironmentVariable("VANTORIX_LIBRARY_DIR");
            if (!string.IsNullOrEmpty(folder))
                yield return Path.Combine(folder, name);
            string here = Path.GetDirectoryName(typeof(NativeLibrary).Assembly.Location);
            if (string.IsNullOrEmpty(here))
                yield break;  // an assembly loaded from bytes has no folder
            if (Windows)
                yield return Path.Combine(here, IntPtr.Size == 8 ? "x64" : "x86", name);  // Windows
            yield return Path.Combine(here, "runtimes", rid, "native", name);
            yield return Path.GetFullPath(Path.Combine(here, "..", "..", "runtimes", rid, "native", name));
            yield return Path.Combine(here, name);
        }

        // Windows: once a module of this name is loaded, a load by the bare name
        // (the DllImport's) is given that module.
        static string LoadWindows(string path)
        {
            if (LoadLibraryW(path) != IntPtr.Zero)
                return null;
            return new Win32Exception(Marshal.GetLastWin32Error()).Message;
        }

        // Once loaded, ld.so gives this copy to a dlopen of its soname (the DllImport's).
        static string LoadLinux(string path)
        {
            if (dlopen(path, RTLD_NOW) != IntPtr.Zero)
                return null;
            return Marshal.PtrToStringAnsi(dlerror());
        }

        // The system's text for a code, as the library's GetErrorMessage gives it.
        internal static string ErrorText(int code)
        {
            if ((code & 0x20000000) != 0)  // SHAREDMEM_COPY_ERROR, and every code with bit 29 set
                return "Unknown error occured while copying shared memory.";  // the library's text, as it is
            if (Windows)
                return new Win32Exception(code).Message;  // Windows: FormatMessage's text
            return Marshal.PtrToStringAnsi(strerror(code));
        }

        internal static VantorixException NotLoaded(Exception error)
        {
            string tried;
            lock (Gate)
            {
                tried = loadErrors.Length > 0 ? loadErrors + "; " : "";
            }
            return new VantorixException(NotFound, "GetVantorixInfo library not found: " + tried + error.Message, null,
                                         Install);
        }
    }
}

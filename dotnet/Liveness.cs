// Whether a running monitor holds the record's region, as vantorix-info tells
// (tools/reading/liveness_linux.cpp) and the Python binding: on Linux a monitor
// holds an exclusive flock on its region file for its whole life, and the kernel
// drops it when the monitor dies, so a shared lock taken at once means that
// nobody holds the region. The region is opened and accepted as the library
// does; the lock goes with the close. On Windows a mapping lasts only as long as
// a handle to it, so there is nothing to tell: null.
using System;
using System.Runtime.InteropServices;

namespace GetVantorixInfo
{
    static class Liveness
    {
        // x86-64 Linux's values (the package's Linux library is x86-64 only; on
        // another machine the probe says null rather than guess its layouts).
        const int O_NOFOLLOW = 0x20000, O_NONBLOCK = 0x800, O_CLOEXEC = 0x80000;
        const int LOCK_SH = 1, LOCK_NB = 4, EWOULDBLOCK = 11;
        const int S_IFMT = 0xF000, S_IFREG = 0x8000, S_IWGRP = 0x10, S_IWOTH = 0x2;
        const int StatSize = 144, StatNlink = 16, StatMode = 24, StatUid = 28;  // struct stat
        const int UtsnameSize = 390, UtsnameMachine = 260;  // struct utsname

        [DllImport("libc.so.6", SetLastError = true)]
        static extern int open(string path, int flags);

        [DllImport("libc.so.6")]
        static extern int close(int fd);

        [DllImport("libc.so.6", SetLastError = true)]
        static extern int fstat(int fd, byte[] info);  // glibc 2.33 and later

        [DllImport("libc.so.6", SetLastError = true)]
        static extern int __fxstat(int version, int fd, byte[] info);  // before glibc 2.33

        [DllImport("libc.so.6", SetLastError = true)]
        static extern int flock(int fd, int operation);

        [DllImport("libc.so.6")]
        static extern uint geteuid();

        [DllImport("libc.so.6")]
        static extern int uname(byte[] name);

        static readonly Lazy<bool> X86_64Linux = new Lazy<bool>(() =>
        {
            if (Environment.OSVersion.Platform != PlatformID.Unix)
                return false;
            var name = new byte[UtsnameSize];
            if (uname(name) != 0)
                return false;
            return System.Text.Encoding.ASCII.GetString(name, UtsnameMachine, 7) == "x86_64\0";
        });

        internal static bool? Probe()
        {
            try
            {
                return X86_64Linux.Value ? ProbeLinux() : null;
            }
            catch (Exception error) when (error is DllNotFoundException || error is EntryPointNotFoundException)
            {
                return null;  // not a glibc system
            }
        }

        static bool? ProbeLinux()
        {
            uint user = geteuid();
            int fd = open("/dev/shm/VantorixMappingObject." + user, O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);  // O_RDONLY
            if (fd < 0)
                return null;
            try
            {
                var info = new byte[StatSize];
                int status;
                try
                {
                    status = fstat(fd, info);
                }
                catch (EntryPointNotFoundException)
                {
                    status = __fxstat(1, fd, info);  // _STAT_VER on x86-64
                }
                if (status != 0)
                    return null;
                int mode = BitConverter.ToInt32(info, StatMode);
                if ((mode & S_IFMT) != S_IFREG || BitConverter.ToUInt32(info, StatUid) != user ||
                    BitConverter.ToUInt64(info, StatNlink) != 1 || (mode & (S_IWGRP | S_IWOTH)) != 0)
                    return null;
                if (flock(fd, LOCK_SH | LOCK_NB) == 0)
                    return false;
                return Marshal.GetLastWin32Error() == EWOULDBLOCK ? true : (bool?)null;
            }
            finally
            {
                close(fd);
            }
        }
    }
}

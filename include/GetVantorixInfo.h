/*
 * GetVantorixInfo: read the processor readings that the Vantorix monitor
 * publishes in shared memory.
 *
 * Two ways to read:
 *   - C++: construct a VantorixProxy, call GetData(), then read the accessors.
 *   - C or C++: call fnGetVantorixInfo() to copy the whole record into a
 *     block of your own.
 *
 * A read takes the monitor's named mutex, copies one whole 2688-byte record
 * and releases everything again; nothing is kept open between reads. A failed
 * read returns false and leaves its reason in the calling thread's last-error
 * code: GetLastError() on Windows, errno on Linux. A fault while copying
 * leaves SHAREDMEM_COPY_ERROR.
 *
 * Define GETVANTORIXINFO_STATIC when compiling the library's sources straight
 * into a program instead of linking the DLL or shared object.
 */
#ifndef GETVANTORIXINFO_H
#define GETVANTORIXINFO_H

#if defined(GETVANTORIXINFO_STATIC)
#  define VANTORIX_API
#elif defined(_WIN32)
#  if defined(GETVANTORIXINFO_BUILDING)
#    define VANTORIX_API __declspec(dllexport)
#  else
#    define VANTORIX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VANTORIX_API __attribute__((visibility("default")))
#else
#  define VANTORIX_API
#endif

#ifdef __cplusplus
#  include <cstddef>
#  include <cstdint>
#else
#  include <stdbool.h>
#  include <stddef.h>
#  include <stdint.h>
#endif

/* Last-error code left by a read whose copy faulted (an application-defined
 * code: bit 29 set). */
#ifndef SHAREDMEM_COPY_ERROR
#  define SHAREDMEM_COPY_ERROR 0x20000000u
#endif

/*
 * The monitor's record, exactly as it lies in the shared region: 2688 bytes,
 * little-endian, no header or version. Units and scales are the monitor's;
 * the library converts nothing.
 */
typedef struct vantorix_shared_data {
    int32_t core_load[256];      /* load of each core, by core index 0-255 */
    int32_t tj_max[128];         /* TjMax values, by index 0-127 */
    int32_t core_total;          /* number of cores */
    int32_t cpu_total;           /* number of processors */
    float temp[256];             /* temperature of each core, by core index 0-255 */
    float vid_value;             /* VID */
    float cpu_clock;             /* processor clock speed */
    float fsb_clock;             /* FSB (bus) clock speed */
    float clock_multiplier;      /* clock multiplier */
    /* Processor name: 100 8-bit characters as the monitor wrote them. It is
     * not guaranteed to end with a zero inside the field: read at most 100
     * bytes (strnlen(cpu_name, 100)). */
    char cpu_name[100];
    uint8_t fahrenheit;          /* nonzero: temperatures are in degrees Fahrenheit */
    uint8_t distance_to_tj_max;  /* nonzero: temperatures are distances to TjMax */
    uint8_t reserved[2];         /* padding; carries no reading */
} vantorix_shared_data;

#ifdef __cplusplus
#  define VANTORIX_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#else
#  define VANTORIX_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
VANTORIX_LAYOUT_CHECK(sizeof(float) == 4, "float must be IEEE-754 single");
VANTORIX_LAYOUT_CHECK(sizeof(vantorix_shared_data) == 2688, "record is 2688 bytes");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, core_load) == 0, "core_load");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, tj_max) == 1024, "tj_max");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, core_total) == 1536, "core_total");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, cpu_total) == 1540, "cpu_total");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, temp) == 1544, "temp");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, vid_value) == 2568, "vid_value");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, cpu_clock) == 2572, "cpu_clock");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, fsb_clock) == 2576, "fsb_clock");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, clock_multiplier) == 2580, "clock_multiplier");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, cpu_name) == 2584, "cpu_name");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, fahrenheit) == 2684, "fahrenheit");
VANTORIX_LAYOUT_CHECK(offsetof(vantorix_shared_data, distance_to_tj_max) == 2685, "distance_to_tj_max");
#undef VANTORIX_LAYOUT_CHECK

#ifdef __cplusplus

/* One UTF-16 code unit: the character type of GetErrorMessage's text. */
#  if defined(_WIN32)
typedef wchar_t vantorix_utf16;
#  else
typedef char16_t vantorix_utf16;
#  endif

/*
 * A client-owned copy of the monitor's record. Construct it anywhere (stack,
 * static, heap); it holds no handle and no heap memory. It has no lock: do not
 * read it on one thread while another runs GetData on it.
 */
class VantorixProxy {
public:
    /* The copy starts as all zero bytes: counts and values 0, flags false,
     * empty name. */
    VANTORIX_API VantorixProxy();
    VANTORIX_API virtual ~VantorixProxy();

    /* Copies the monitor's current record into this proxy. True on success.
     * False when the monitor is not running, an object could not be opened,
     * or the copy faulted; the reason is the calling thread's last-error
     * code. After a failure before the copy, the previous values stay; after
     * a fault (SHAREDMEM_COPY_ERROR) the copy is undefined until the next
     * successful GetData. */
    VANTORIX_API bool GetData();

    /* The proxy's whole copy; the same address for the proxy's lifetime. */
    VANTORIX_API const vantorix_shared_data* GetDataStruct() const;

    /* Integer readings. An index outside 0-255 (core) or 0-127 (TjMax)
     * returns 0 and reads nothing. */
    VANTORIX_API int32_t GetCoreLoad(int core) const;
    VANTORIX_API int32_t GetTjMax(int index) const;
    VANTORIX_API int32_t GetCoreCount() const;
    VANTORIX_API int32_t GetCPUCount() const;

    /* Floating-point readings, the stored single-precision values unchanged.
     * A core index outside 0-255 returns 0. */
    VANTORIX_API float GetTemp(int core) const;
    VANTORIX_API float GetVID() const;
    VANTORIX_API float GetCPUSpeed() const;
    VANTORIX_API float GetFSBSpeed() const;
    VANTORIX_API float GetMultiplier() const;

    /* Address of the 100-byte name field inside this proxy (no copy, not
     * necessarily zero-terminated: read at most 100 bytes). */
    VANTORIX_API const char* GetCPUName() const;

    /* True when the monitor's flag byte is nonzero. */
    VANTORIX_API bool IsFahrenheit() const;
    VANTORIX_API bool IsDistanceToTjMax() const;

    /* The calling thread's current last-error code, unchanged. Call it on the
     * thread whose read failed, before other platform calls replace it. */
    VANTORIX_API uint32_t GetDllError() const;

    /* Text for the calling thread's current last-error code, written into
     * this proxy and returned (never null, always zero-terminated). Codes
     * with bit 29 set give "Unknown error occured while copying shared
     * memory."; others give the system's text (at most 98 characters), or an
     * empty string when the system has none that fits. The text may replace
     * the last-error code: read GetDllError first if you want both. */
    VANTORIX_API vantorix_utf16* GetErrorMessage();

private:
    vantorix_shared_data snapshot;
    vantorix_utf16 error_message[100];
};

/*
 * Copies the monitor's current record into the block that `data` points to
 * (at least 2688 writable bytes). The pointer itself is not changed. Returns
 * false with the reason in the calling thread's last-error code; a null
 * pointer gives the platform's "invalid parameter" code.
 */
extern "C" VANTORIX_API bool fnGetVantorixInfo(vantorix_shared_data*& data);

#else /* C */

/* The same function for C: a pointer to the caller's pointer. */
VANTORIX_API bool fnGetVantorixInfo(vantorix_shared_data** data);

#endif /* __cplusplus */

#endif /* GETVANTORIXINFO_H */

#!/usr/bin/env python3
"""Installs the built package into a temporary prefix, builds a client project
against it with find_package (and, on Linux, a C program with pkg-config),
and runs the programs and the installed reader tool against the stand-in
monitor. On Windows (under Wine) the programs run from the installed bin
folder, beside nothing but what the package installed. The README's C and
C++ examples are built as printed and run first, with no monitor: each must
say the read failed with the platform's "not found" code (2), the C one
reading it from errno or GetLastError()."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

GENERATION = 4242


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the built tree to install from")
    parser.add_argument("--source", required=True, help="tests/consumer")
    parser.add_argument("--toolchain", default="")
    parser.add_argument("--runner", default="")
    parser.add_argument("--suffix", default="")
    parser.add_argument("--objdump", default="")
    parser.add_argument("--readme", required=True)
    options = parser.parse_args()
    runner = [options.runner] if options.runner else []
    work = tempfile.mkdtemp(prefix="vantorix-consumer-", dir=options.build)
    prefix = os.path.join(work, "prefix")

    def check(command, **kwargs):
        print("+", " ".join(command), flush=True)
        subprocess.run(command, check=True, **kwargs)

    check(["cmake", "--install", options.build, "--prefix", prefix])
    examples = os.path.join(work, "readme")
    os.mkdir(examples)
    with open(options.readme, encoding="utf-8") as readme:
        for language, text in re.findall(r"^```(c|cpp)\n(.*?)^```", readme.read(), re.M | re.S):
            with open(os.path.join(examples, "example." + language), "w") as file:
                file.write(text)
    configure = ["cmake", "-S", options.source, "-B", os.path.join(work, "consumer"), "-G", "Ninja",
                 "-DCMAKE_PREFIX_PATH=" + prefix, "-DREADME_EXAMPLES=" + examples]
    if options.toolchain:
        configure.append("-DCMAKE_TOOLCHAIN_FILE=" + options.toolchain)
    check(configure)
    check(["cmake", "--build", os.path.join(work, "consumer")])

    bin_dir = os.path.join(prefix, "bin")
    programs = [os.path.join(work, "consumer", "consumer" + options.suffix),
                os.path.join(work, "consumer", "consumer-c" + options.suffix)]
    examples = [os.path.join(work, "consumer", "readme-" + language + options.suffix) for language in ("c", "cpp")]
    if options.suffix:  # Windows: beside the installed DLL, nothing else
        programs = [shutil.copy(program, bin_dir) for program in programs]
        examples = [shutil.copy(program, bin_dir) for program in examples]
        for program in programs + [os.path.join(bin_dir, "GetVantorixInfo.dll"),
                                   os.path.join(bin_dir, "vantorix-info.exe")]:
            imports = subprocess.run([options.objdump, "-p", program], capture_output=True, text=True).stdout
            dlls = {line.split(":")[1].strip().lower() for line in imports.splitlines() if "DLL Name:" in line}
            # Windows' own DLLs (the server's sockets among them) and ours.
            extra = dlls - {"kernel32.dll", "msvcrt.dll", "getvantorixinfo.dll", "user32.dll", "advapi32.dll",
                            "ws2_32.dll", "mswsock.dll", "shell32.dll"}
            assert not extra, "%s needs DLLs the package does not ship: %s" % (program, extra)
    else:  # Linux: the same C program, built with pkg-config instead
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "GetVantorixInfo"], env=env,
                               capture_output=True, text=True, check=True).stdout.split()
        pkg_program = os.path.join(work, "consumer-pkg-config")
        check(["cc", os.path.join(options.source, "consumer.c"), "-o", pkg_program, *flags,
               "-Wl,-rpath," + os.path.join(prefix, "lib")])
        programs.append(pkg_program)

    for example in examples:
        ran = subprocess.run(runner + [example], capture_output=True, text=True, timeout=60)
        assert ran.returncode == 1 and "read failed: error 2\n" in ran.stdout + ran.stderr, \
            "%s with no monitor: exit %d\n%s%s" % (example, ran.returncode, ran.stdout, ran.stderr)

    standin = os.path.join(options.build, "bin", "vantorix-standin" + options.suffix)
    monitor = subprocess.Popen(runner + [standin, "--generation", str(GENERATION)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        tool = os.path.join(bin_dir, "vantorix-info" + options.suffix)
        deadline = time.time() + 30
        while subprocess.run(runner + [tool, "--json"], stdout=subprocess.DEVNULL).returncode != 0:
            assert time.time() < deadline, "the installed vantorix-info never read the monitor"
            time.sleep(0.2)
        for program in programs:
            with tempfile.TemporaryFile() as out:
                code = subprocess.run(runner + [program], stdout=out, timeout=60).returncode
                out.seek(0)
                text = out.read().decode()
            print(text.strip())
            assert code == 0, "%s exited with %d" % (program, code)
            assert "core_load[0]=%d" % GENERATION in text, text
    finally:
        if options.runner:
            monitor.kill()
        else:
            monitor.terminate()
        monitor.wait()
    shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes the shared record fixtures: each NAME.record is a 2688-byte record
as a monitor publishes it (the layout of GetVantorixInfo.h, little-endian).
Beside each, NAME.json holds what every output and binding shows for it:
vantorix-info --json (the fields that do not change from read to read),
--prometheus (likewise), its table, the Python and .NET bindings' snapshot
and the live page. Those were taken from the programs once and checked by hand; a change
to a record here means checking them again.

    python3 tests/data/records/make_records.py   # rewrites the .record files
"""
import os
import struct

LAYOUT = struct.Struct("<256i128iii256f4f100sBB2s")
assert LAYOUT.size == 2688


def record(cores, temp=(), tj_max=(), load=(), scalars=(0, 0, 0, 0), name=b"", fahrenheit=0, distance=0, cpus=1):
    """The given readings (scalars: VID, clock, bus clock, multiplier), 0 for the rest."""
    pad = lambda values, count: list(values) + [0] * (count - len(values))
    return LAYOUT.pack(*pad(load, 256), *pad(tj_max, 128), cores, cpus, *pad(temp, 256), *scalars, name,
                       fahrenheit, distance, b"\0\0")


RECORDS = {
    # Every reading there.
    "normal": record(4, temp=[45.5, 52.25, 67.7, 38.0], tj_max=[100, 100, 100, 100], load=[12, 87, 100, 0],
                     scalars=(1.2125, 3600.5, 100.0, 36.0), name=b"Normal CPU"),
    # 0 is "not reported" for temperatures, TjMax, VID and clocks; a load of 0 is real.
    "missing": record(3, temp=[0.0, 67.7, 0.0], tj_max=[100, 0, 95], load=[5, 0, 9], scalars=(0.0, 3200.1, 0.0, 0.0),
                      name=b"Missing CPU"),
    # Temperatures as distances below TjMax, where 0 is a core at TjMax.
    "distance": record(3, temp=[0.0, 12.5, 67.7], tj_max=[100, 100, 95], load=[0, 50, 100],
                       scalars=(1.2125, 3600, 100, 36), name=b"Distance CPU", distance=1),
    # Degrees Fahrenheit: 30 °F below TjMax is warm, where 30 °C would be cool.
    "fahrenheit": record(2, temp=[122.5, 182.0], tj_max=[212, 212], load=[40, 95], scalars=(1.1, 2900.0, 100.0, 29.0),
                         name=b"Fahrenheit CPU", fahrenheit=1, cpus=2),
    # Distances in degrees Fahrenheit: converted without the scales' offset.
    "distance-fahrenheit": record(2, temp=[27.0, 45.0], tj_max=[212, 212], load=[70, 10],
                                  scalars=(1.05, 3000.0, 100.0, 30.0), name=b"Distance F CPU", fahrenheit=1, distance=1),
    # A name of 100 8-bit characters with no zero, and more cores than the record holds.
    "long-name": record(300, temp=[41.5] * 256, tj_max=[90] * 128, load=[3] * 256, scalars=(1.0, 4000.5, 99.8, 40.125),
                        name=b"Caf\xe9 CPU\xae \x80".ljust(100, b"x"), fahrenheit=1),
}

if __name__ == "__main__":
    folder = os.path.dirname(os.path.abspath(__file__))
    for name, data in RECORDS.items():
        with open(os.path.join(folder, name + ".record"), "wb") as file:
            file.write(data)

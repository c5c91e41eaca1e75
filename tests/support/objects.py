"""The monitor's named objects as Linux files, /dev/shm/<name>.<uid>, with
the names read from the one header that every program is built with."""
import os
import re

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "names",
                       "ObjectNames.h")) as header:
    NAMES = dict(re.findall(r'#define VANTORIX_(\w+)_NAME "([^"]+)"', header.read()))

# Formats to fill with a user id.
REGION = "/dev/shm/" + NAMES["MAPPING"] + ".%d"
MUTEX = "/dev/shm/" + NAMES["MUTEX"] + ".%d"

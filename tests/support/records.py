"""The shared record fixtures (tests/data/records/, made by make_records.py
there): NAME.record, a record as a monitor publishes it, and NAME.json, what
each output and binding shows for it. VANTORIX_RECORDS names the folder."""
import json
import os

FOLDER = os.environ.get("VANTORIX_RECORDS") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data",
                                                            "records")


def path(name):
    return os.path.join(FOLDER, name + ".record")


def fixtures():
    """(name, the record file's path, what it shows) for each fixture."""
    for name in sorted(file[:-len(".record")] for file in os.listdir(FOLDER) if file.endswith(".record")):
        with open(os.path.join(FOLDER, name + ".json")) as expected:
            yield name, path(name), json.load(expected)

#!/usr/bin/python3
"""Reads a log that the library's trace sink wrote with python-can's can.LogReader and converts it
with can-utils' log2asc, and checks that both see exactly the messages the writer program sent
and received: their number, extended ids and data.

Usage: check_interop.py WRITER_PROGRAM WORK_DIR
"""

import os
import subprocess
import sys

import can


def expected_messages(path):
    with open(path) as f:
        return sorted((int(can_id, 16), bytes.fromhex(data))
                      for can_id, _, data in (line.rstrip("\n").partition(" ") for line in f))


def read_with_python_can(log):
    found = []
    for message in can.LogReader(log):
        if not message.is_extended_id:
            sys.exit(f"python-can read a standard id: {message}")
        found.append((message.arbitration_id, bytes(message.data)))
    return sorted(found)


def read_with_log2asc(log, work):
    asc = os.path.join(work, "trace.asc")
    subprocess.run(["log2asc", "-I", log, "-O", asc, "oxl0"], check=True)
    found = []
    with open(asc) as f:
        for line in f:
            words = line.split()
            if "Rx" not in words:
                continue
            if words[1] == "CANFD":  # time CANFD channel Rx id brs esi dlc length data...
                can_id, length, data = words[4], int(words[8]), words[9:]
            else:  # time channel id Rx d length data...
                can_id, length, data = words[2], int(words[5]), words[6:]
            if not can_id.endswith("x"):
                sys.exit(f"log2asc wrote a standard id: {line!r}")
            found.append((int(can_id[:-1], 16), bytes.fromhex("".join(data[:length]))))
    return sorted(found)


def main():
    writer, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "trace.log")
    expected_path = os.path.join(work, "expected.txt")
    subprocess.run([writer, log, expected_path], check=True)
    expected = expected_messages(expected_path)
    failed = False
    for tool, found in (("can.LogReader", read_with_python_can(log)),
                        ("log2asc", read_with_log2asc(log, work))):
        if found != expected:
            failed = True
            print(f"{tool}: {len(found)} messages, expected {len(expected)}")
            for message in sorted(set(expected) ^ set(found)):
                side = "missing" if message in expected else "unexpected"
                print(f"  {side}: {message[0]:08X}#{message[1].hex().upper()}")
        else:
            print(f"{tool}: all {len(found)} messages with their ids and data")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

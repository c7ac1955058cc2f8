#!/usr/bin/env python3
"""Writes a delivered-files tree for the ingest benchmark: GATEWAYS gateways,
HOURS hours each of ten meters polled every PERIOD seconds (function 3, ten
registers from 0), one log file per hour, and the site description with one
shared settings file. Usage: ingest_fleet.py DIR GATEWAYS HOURS PERIOD"""
import os
import sys


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def line(meter, stamp, values):
    frame = [meter + 1, 3, 20]
    for value in values:
        frame += [value >> 8 & 0xFF, value & 0xFF]
    crc = crc16(frame)
    frame += [crc & 0xFF, crc >> 8]
    return "m%d:%s:%s\n" % (meter, stamp, "".join("%02x " % b for b in frame))


def main():
    root, gateways, hours, period = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    os.makedirs(root + "/srv", exist_ok=True)
    with open(root + "/settings", "w") as settings:
        for meter in range(1, 11):
            settings.write("MOD_METERSCRIBE_ADDR%d=%d\nMOD_METERSCRIBE_FUNC%d=3\nMOD_METERSCRIBE_START%d=0\n"
                           "MOD_METERSCRIBE_REG_COUNT%d=10\n" % (meter, meter, meter, meter, meter))
    with open(root + "/site", "w") as site:
        for g in range(gateways):
            site.write("gateway gw-%04d settings settings tz UTC\n" % g)
    # The frames of one hour are the same for every gateway but the values.
    for g in range(gateways):
        directory = "%s/srv/gw-%04d" % (root, g)
        os.makedirs(directory, exist_ok=True)
        for hour in range(hours):
            lines = []
            for second in range(0, 3600, period):
                stamp = "2024-05-01-%02d-%02d-%02d" % (hour, second // 60, second % 60)
                for meter in range(10):
                    base = (g * 7 + hour * 3600 + second + meter) & 0xFFFF
                    lines.append(line(meter, stamp, [(base + k) & 0xFFFF for k in range(10)]))
            with open("%s/log-2024-05-01-%02d-00-00" % (directory, hour), "w") as log:
                log.writelines(lines)


main()

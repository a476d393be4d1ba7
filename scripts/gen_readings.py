#!/usr/bin/env python3
"""Generates station readings of realistic shape for VN_DATA1.

Each station reports, every --step minutes, a water level (WL, a slow tide-like wave with
noise), a rain-gauge counter (RAIN, counts up in showers and rolls over at 1000) and an air
temperature (TEMP, a daily cycle). A few readings have no value, a few carry quality flags.

Output: a SQLite database file (--sqlite FILE, the tables must exist) or CSV on standard
output for PostgreSQL's COPY (--csv).
"""
import argparse
import csv
import datetime as dt
import math
import random
import sqlite3
import sys

COLUMNS = ("STATION_ID", "SENSORNAME", "TIME_TAG", "ED_VALUE", "FLAG1", "FLAG2", "FLAG3",
           "FLAG4", "HIGH_HIGH_FLAG", "HIGH_FLAG", "LOW_FLAG", "LOW_LOW_FLAG", "NO_CHG_FLAG",
           "ROC_FLAG", "ALARM_FLAG", "STD_DEV_FLAG", "AVG_FLAG")


def rows(args):
    rnd = random.Random(args.seed)
    start = dt.datetime.strptime(args.start, "%Y-%m-%d")
    steps = args.days * 24 * 60 // args.step
    sensors = args.sensors.split(",")
    for s in range(1, args.stations + 1):
        station = "ST%02d" % s if args.stations < 100 else "ST%03d" % s
        base_level = 2.0 + rnd.random() * 3.0
        counter = rnd.randrange(0, 1000)
        for i in range(steps):
            t = start + dt.timedelta(minutes=i * args.step)
            tag = t.strftime("%Y-%m-%d %H:%M:%S")
            hours = i * args.step / 60.0
            for sensor in sensors:
                if sensor == "WL":
                    value = base_level + 0.6 * math.sin(hours / 12.42 * 2 * math.pi) \
                        + rnd.gauss(0, 0.02)
                elif sensor == "RAIN":
                    if rnd.random() < 0.08:
                        counter = (counter + rnd.randrange(1, 6)) % 1000
                    value = float(counter)
                else:  # TEMP
                    value = 12.0 + 6.0 * math.sin((hours % 24 - 9) / 24 * 2 * math.pi) \
                        + rnd.gauss(0, 0.3)
                value = round(value, 3)
                flags = [None] * 13
                if not args.clean:
                    r = rnd.random()
                    if r < 0.002:
                        value = None
                    elif r < 0.004:
                        flags[1] = "E"  # FLAG2: an estimated reading
                    elif r < 0.005:
                        flags[5] = 1  # HIGH_FLAG
                yield (station, sensor, tag, value, *flags)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--stations", type=int, default=20)
    p.add_argument("--sensors", default="WL,RAIN,TEMP")
    p.add_argument("--days", type=int, default=30)
    p.add_argument("--step", type=int, default=15, help="minutes between readings")
    p.add_argument("--start", default="2026-01-01")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--clean", action="store_true", help="no NULL values and no flags")
    out = p.add_mutually_exclusive_group(required=True)
    out.add_argument("--sqlite")
    out.add_argument("--csv", action="store_true")
    args = p.parse_args()
    if args.csv:
        w = csv.writer(sys.stdout, lineterminator="\n")
        for r in rows(args):
            w.writerow(["" if v is None else v for v in r])
        return
    db = sqlite3.connect(args.sqlite)
    db.execute("PRAGMA journal_mode=WAL")
    db.executemany("INSERT INTO VN_DATA1 (%s) VALUES (%s)" % (", ".join(COLUMNS),
                   ", ".join("?" * len(COLUMNS))), rows(args))
    db.commit()
    db.close()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The verdict of a soak run (scripts/soak.sh): reads the clients' JSON lines, the server's
samples and the events of the run from its output directory, writes verdict.txt there,
prints it, and exits 0 only when every check passes.

    soak_verdict.py OUT --minutes N --server-ended SECONDS|'' --victim-kills N
                   --kill-every S [--configurator]
"""
import argparse
import glob
import json
import os
import statistics
import sys

# The bounds the verdict holds the server to.
MAX_CALL_MS = 10000  # no server call slower than this
GAP_RATES = 8  # a subscriber waits at most this many update rates ...
GAP_SLACK_MS = 2000  # ... plus this, between two update callbacks
WARM_UP_SHARE = 0.2  # memory is judged after this share of the run
MEMORY_MB_PER_HOUR = 20  # fitted growth of private memory after the warm-up, per hour ...
# ... and under Wine, whose marshaling keeps some of every enumerator and every list of
# written values it unmarshals in the server: measured with one kind of call at a time,
# 100,000 browse enumerators made in the server's own process leave its memory unchanged to
# the kilobyte, while 18,000 browse calls through COM grow it by 3 MB; groups made and
# removed, subscriptions and polls grow it by nothing. The soak's churn and writers make
# about 30 MB of that an hour; twice that is the bound.
MEMORY_MB_PER_HOUR_WINE = 60
MEMORY_MB_FLOOR = 8  # ... or this much over the whole span, whichever is more
THREADS_DRIFT = 10  # threads at the end against the start of the judged span (medians)
FILES_DRIFT = 20  # open Unix files likewise
SERVER_END_S = 30  # the server ends this long after its last client at most


def read_clients(out):
    """Each client's final figures, by file name; None for a client that printed none."""
    clients = {}
    files = sorted(glob.glob(os.path.join(out, "clients", "*.json")))
    # Of the victim only its last life runs to the end; the killed ones print nothing.
    lives = [f for f in files if "-victim." in f]
    last_life = max(lives, key=lambda f: int(f.rsplit(".", 2)[1])) if lives else None
    for f in files:
        if f in lives and f != last_life:
            continue
        lines = [line for line in open(f, encoding="utf-8") if line.strip()]
        clients[os.path.basename(f)] = json.loads(lines[-1]) if lines else None
    return clients


def read_csv(path, columns, optional=False):
    """The rows of one of soak.sh's CSV files, each a dict of the wanted columns, given as
    {name: (index, conversion)}; with optional, a missing file has none."""
    rows = []
    try:
        f = open(path, encoding="utf-8")
    except OSError:
        if optional:
            return rows
        raise
    with f:
        next(f, None)
        for line in f:
            cells = line.strip().split(",")
            try:
                rows.append({name: convert(cells[i]) for name, (i, convert) in columns.items()})
            except (ValueError, IndexError):
                continue  # a sample taken while the process ended
    return rows


def kilobytes_to_mb(cell):
    return float(cell) / 1024


def read_samples(out):
    return read_csv(os.path.join(out, "samples.csv"),
                    {"t": (0, float), "private": (2, kilobytes_to_mb),
                     "resident": (3, kilobytes_to_mb), "threads": (4, float), "fds": (5, float),
                     "processes": (7, int)})


def read_client_samples(out):
    """The clients' private memory in MB, by process: {(client, pid): [{"t", "private"}]}."""
    series = {}
    # Outputs of soaks from before the clients' memory was sampled have no clients.csv.
    for row in read_csv(os.path.join(out, "clients.csv"),
                        {"t": (0, float), "pid": (1, str), "client": (2, str),
                         "private": (3, kilobytes_to_mb)}, optional=True):
        series.setdefault((row.pop("client"), row.pop("pid")), []).append(row)
    return series


def slope_per_hour(rows, key):
    """Least-squares growth of `key` per hour."""
    if len(rows) < 3:
        return 0.0
    ts = [r["t"] for r in rows]
    vs = [r[key] for r in rows]
    mt, mv = statistics.fmean(ts), statistics.fmean(vs)
    den = sum((t - mt) ** 2 for t in ts)
    return 0.0 if den == 0 else sum((t - mt) * (v - mv) for t, v in zip(ts, vs)) / den * 3600


def drift(rows, key):
    """Median of the last quarter minus the median of the first."""
    q = max(1, len(rows) // 4)
    return statistics.median(r[key] for r in rows[-q:]) - statistics.median(r[key] for r in rows[:q])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--minutes", type=float, required=True)
    parser.add_argument("--server-ended", default="")
    parser.add_argument("--victim-kills", type=int, default=0)
    parser.add_argument("--kill-every", type=int, default=0)
    parser.add_argument("--configurator", action="store_true")
    parser.add_argument("--wine", action="store_true", help="the server ran under Wine")
    a = parser.parse_args()

    checks = []  # (passed, text)
    lines = []

    def check(passed, text):
        checks.append((passed, text))

    clients = read_clients(a.out)
    silent = [name for name, c in clients.items() if c is None]
    figures = [c for c in clients.values() if c]
    check(not silent and figures, "every client printed its figures"
          + (f" (none from {', '.join(silent)})" if silent else f" ({len(figures)} clients)"))

    calls = sum(c["calls"] for c in figures)
    failures = sum(c["failures"] for c in figures)
    first = next((f"{c['role']}: {c['first_failure']}" for c in figures if c["failures"]), "")
    check(failures == 0, f"failed calls: {failures} of {calls}" + (f" (first: {first})" if first else ""))

    slowest = max(figures, key=lambda c: c["max_latency_ms"], default=None)
    if slowest:
        check(slowest["max_latency_ms"] <= MAX_CALL_MS,
              f"slowest call {slowest['max_latency_ms']:.0f} ms ({slowest['slowest_call']} of "
              f"{slowest['role']}), bound {MAX_CALL_MS} ms")

    checked = sum(c["writes_checked"] for c in figures)
    lost = sum(c["lost_writes"] for c in figures)
    first_lost = next((c["first_lost"] for c in figures if c["lost_writes"]), "")
    check(lost == 0 and checked > 0, f"lost writes: {lost} of {checked} read back from the device"
          + (f" (first: {first_lost})" if first_lost else ""))

    missing = sum(c["missing_completions"] for c in figures)
    accepted = sum(c["cancels_accepted"] for c in figures)
    late = sum(c["cancels_late"] for c in figures)
    check(missing == 0, f"asynchronous transactions without an end: {missing} "
          f"(cancels accepted {accepted}, too late {late})")

    for c in figures:
        if not c["role"].startswith("subscriber") and c["role"] != "victim":
            continue
        bound = GAP_RATES * c["gap_rate_ms"] + GAP_SLACK_MS
        check(c["callbacks"] > 0 and c["max_gap_ms"] <= bound,
              f"{c['role']} (seed {c['seed']}): {c['callbacks']} callbacks, longest gap "
              f"{c['max_gap_ms']:.0f} ms at {c['gap_rate_ms']} ms, bound {bound} ms")

    rows = read_samples(a.out)
    run_s = a.minutes * 60
    # Up to one sample before the clients' time runs out: the next may catch them going.
    judged = [r for r in rows if WARM_UP_SHARE * run_s <= r["t"] <= run_s - 10]
    if len(judged) >= 3:
        span_h = (judged[-1]["t"] - judged[0]["t"]) / 3600
        per_hour = slope_per_hour(judged, "private")
        per_hour_bound = MEMORY_MB_PER_HOUR_WINE if a.wine else MEMORY_MB_PER_HOUR
        tolerance = max(MEMORY_MB_FLOOR, per_hour_bound * span_h)
        check(per_hour * span_h <= tolerance,
              f"private memory after the warm-up: {judged[0]['private']:.1f} -> "
              f"{judged[-1]['private']:.1f} MB, fitted growth {per_hour:+.1f} MB/h "
              f"({per_hour * span_h:+.1f} MB over {span_h * 60:.1f} min), tolerance "
              f"{tolerance:.1f} MB ({per_hour_bound} MB/h{' under Wine' if a.wine else ''})")
        lines.append(f"resident memory after the warm-up: fitted growth "
                     f"{slope_per_hour(judged, 'resident'):+.1f} MB/h; peak private "
                     f"{max(r['private'] for r in rows):.1f} MB")
        # The clients' own data does not grow: what their memory does over the same span is
        # the platform's, and the server's growth is read against it.
        platform = []
        for (client, _), series in sorted(read_client_samples(a.out).items()):
            span = [r for r in series if judged[0]["t"] <= r["t"] <= judged[-1]["t"]]
            if len(span) >= 3 and span[-1]["t"] - span[0]["t"] >= 0.5 * (judged[-1]["t"] - judged[0]["t"]):
                platform.append((client, slope_per_hour(span, "private")))
        if platform and span_h >= 5 / 60:  # shorter spans show start-up, not growth
            lines.append("the platform's growth, seen in the clients' private memory after the "
                         "warm-up (their own data is fixed in size): "
                         + ", ".join(f"{name} {mb:+.1f} MB/h" for name, mb in platform)
                         + f"; together {sum(mb for _, mb in platform):+.1f} MB/h, the server "
                         f"{per_hour:+.1f} MB/h")
        threads = drift(judged, "threads")
        check(threads <= THREADS_DRIFT, f"threads after the warm-up: {judged[0]['threads']:.0f} -> "
              f"{judged[-1]['threads']:.0f}, drift of medians {threads:+.0f} (bound {THREADS_DRIFT}), "
              f"{slope_per_hour(judged, 'threads'):+.1f}/h")
        files = drift(judged, "fds")
        check(files <= FILES_DRIFT, f"open files after the warm-up: {judged[0]['fds']:.0f} -> "
              f"{judged[-1]['fds']:.0f}, drift of medians {files:+.0f} (bound {FILES_DRIFT})")
    else:
        check(False, f"too few samples of the server after the warm-up ({len(judged)})")
    check(rows and max(r["processes"] for r in rows) == 1,
          "one server process served every client"
          + (f" (up to {max(r['processes'] for r in rows)} at once)" if rows else " (none seen)"))

    ended = a.server_ended
    how = "after the configurator was closed" if a.configurator else "by itself"
    check(ended != "" and int(ended) <= SERVER_END_S,
          f"the server ended {how} {ended} s after the last client" if ended
          else f"the server still ran {SERVER_END_S} s after the last client")

    has_victim = any("victim" in name for name in clients)
    if has_victim and a.kill_every > 0:
        check(a.victim_kills >= 1, f"victim killed and started again {a.victim_kills} times")
    if a.configurator:
        events = open(os.path.join(a.out, "events.log"), encoding="utf-8").read()
        started = events.count("debug scanning started")
        check("cannot" not in events and (started > 0 or a.minutes < 1),
              f"configurator open throughout, debug scanning started and stopped {started} times")

    verdict = all(passed for passed, _ in checks)
    text = [f"Soak of {a.minutes:g} min, {len(clients)} clients, {calls} calls: "
            + ("PASS" if verdict else "FAIL")]
    text += [("  ok    " if passed else "  FAIL  ") + t for passed, t in checks]
    text += ["  info  " + t for t in lines]
    with open(os.path.join(a.out, "verdict.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(text) + "\n")
    print("\n".join(text))
    return 0 if verdict else 1


if __name__ == "__main__":
    sys.exit(main())

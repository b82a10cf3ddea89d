#!/usr/bin/env python3
"""Helpers of bench/run.sh (standard library only).

  report.py free-port
      prints a TCP port that is free on 127.0.0.1 right now
  report.py cpus
      prints the CPUs this process may run on, one line, space separated
  report.py ready PORT
      exits 0 when 127.0.0.1:PORT accepts a connection
  report.py settle --max-seconds S
      waits until the machine is idle (95% over 2 s) or S seconds have passed
  report.py annotate --round R --protocol P --busy T --nginx T --start S --end S --line JSON
                     [--log FILE --log-from BYTES]
      adds the round, the protocol and the CPU share taken by other processes
      during the run (machine busy time less the client's and nginx's) to a
      result line, and with --log what nginx's access log gained since BYTES:
      connections and full TLS handshakes
  report.py poll --round R --every G --calls N --delay-ms D --bin DIR --ca PEM --log FILE
                 --protocols "h1 h2" --h1 URL --h2 URL [--baseline PATH]
      one polling round: the raw client and the library (getLastData, and
      createGroup), and the baseline, each over every protocol through a relay
      of its own (relay.py), all at once with their calls staggered; prints a
      result line for each, with what nginx logged from its relay
  report.py wrk --url URL --script FILE --k K --seconds S
      runs wrk with K connections on one thread and prints the same JSON line
      as the load programs (CPU time and peak RSS of the wrk process itself)
  report.py quiet-rounds RESULTS.jsonl
      prints how many rounds ran on a quiet machine (the fewest over K)
  report.py table RESULTS.jsonl
      prints the markdown tables: medians over rounds, and ratios to the raw
      libcurl client of the same round, protocol and K (or G)

RESULTS.jsonl holds one object per run, each with a "round" and a "protocol"
field added by run.sh to what the program printed.
"""

import argparse
import collections
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        print(s.getsockname()[1])


def ready(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return 0
    except OSError:
        return 1


def _proc_stat_jiffies():
    with open("/proc/stat", encoding="ascii") as f:
        fields = [int(v) for v in f.readline().split()[1:9]]
    user, nice, system, idle, iowait, irq, softirq, steal = fields
    return user + nice + system + irq + softirq + steal, idle + iowait


def settle(max_seconds):
    deadline = time.monotonic() + max_seconds
    idle_pct = 0.0
    while True:
        busy0, idle0 = _proc_stat_jiffies()
        time.sleep(2)
        busy1, idle1 = _proc_stat_jiffies()
        total = (busy1 - busy0) + (idle1 - idle0)
        idle_pct = 100.0 * (idle1 - idle0) / total if total else 100.0
        if idle_pct >= 95.0 or time.monotonic() >= deadline:
            break
    print(f"machine {idle_pct:.0f}% idle", file=sys.stderr)


def _log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def server_counts(path, offset, source=None):
    """What nginx logged (log_format handshakes of nginx.conf.in: a line for each connection)
    after byte `offset`, from `source` only when given: the connections, those whose TLS
    handshake was a full one, and the protocols."""
    connections = {}  # nginx's number -> its line's fields
    protocols = set()
    with open(path, encoding="ascii", errors="replace") as f:
        f.seek(offset)
        for line in f:
            fields = line.split()
            if len(fields) < 7 or (source and fields[2] != source):
                continue
            connections[fields[0]] = fields
            protocols.add(f"{fields[4]} {fields[5]}")
    return {"server_connections": len(connections),
            "server_full_handshakes": sum(1 for f in connections.values() if f[1] != "r"),
            "server_protocol": ", ".join(sorted(protocols))}


def annotate(args):
    run = json.loads(args.line)
    hz = os.sysconf("SC_CLK_TCK")
    client_jiffies = run["cpu_us_per_req"] * run["completed"] * hz / 1e6
    other = (args.busy - args.nginx - client_jiffies) / hz
    wall = args.end - args.start
    run = {"round": args.round, "protocol": args.protocol, **run,
           "other_cpu_pct": round(max(0.0, 100.0 * other / wall), 1) if wall > 0 else None}
    if args.log:
        run.update(server_counts(args.log, args.log_from))
    print(json.dumps(run))
    print("  %-4s %-8s K=%-5s %9.0f req/s %7.1f us/req  p50 %s p99 %s us  threads %s  not ok %s"
          "  other load %s%%%s" % (run["protocol"], run["client"], run["k"], run["req_per_s"],
                                   run["cpu_us_per_req"], run["p50_us"], run["p99_us"],
                                   run["threads_started"], run["not_ok"], run["other_cpu_pct"],
                                   "  connections %s" % run["server_connections"]
                                   if args.log else ""), file=sys.stderr)


def poll(args):
    """One polling round at one G: every client at once, each through a relay of its own that
    connects from its own address, so that nginx's log tells their connections apart."""
    here = os.path.dirname(os.path.abspath(__file__))
    raw = [os.path.join(args.bin, "tavrello-bench-raw")]
    load = [os.path.join(args.bin, "tavrello-bench-load")]
    clients = [("raw", raw), ("library", load), ("library", load + ["--write"])]
    if args.baseline:
        clients += [("baseline", [args.baseline]), ("baseline", [args.baseline, "--write"])]
    runs = [{"protocol": protocol, "client": name, "command": command,
             "source": f"127.0.0.{2 + len(clients) * p + c}"}
            for p, protocol in enumerate(args.protocols.split())
            for c, (name, command) in enumerate(clients)]
    limit = args.every * args.calls + 300  # seconds a run may take at most
    try:
        for run in runs:
            upstream = getattr(args, run["protocol"]).split("://", 1)[1]
            run["relay"] = subprocess.Popen(
                [sys.executable, os.path.join(here, "relay.py"), "--upstream", upstream,
                 "--delay-ms", str(args.delay_ms), "--source", run["source"],
                 "--max-seconds", str(limit + 60)], stdout=subprocess.PIPE, text=True)
            listening = run["relay"].stdout.readline().split()  # listening on 127.0.0.1:PORT
            if not listening:
                sys.exit("a relay did not start")
            run["target"] = "https://" + listening[-1]
        log_from = _log_size(args.log)
        start = time.monotonic()
        for i, run in enumerate(runs):
            # Staggered over the first period, so that no two clients call at once.
            time.sleep(max(0.0, start + i * args.every / len(runs) - time.monotonic()))
            run["process"] = subprocess.Popen(
                run["command"] + ["--host", run["target"], "--ca", args.ca, "--every",
                                  str(args.every), "--requests", str(args.calls)],
                stdout=subprocess.PIPE, text=True)
        for run in runs:
            try:
                run["output"] = run["process"].communicate(timeout=limit)[0]
            except subprocess.TimeoutExpired:
                run["output"] = ""
    finally:
        for run in runs:
            for name in ("process", "relay"):
                process = run.get(name)
                if process and process.poll() is None:
                    process.terminate()
            if "relay" in run:
                summary = [line for line in run["relay"].communicate()[0].splitlines()
                           if line.startswith("{")]
                run["relayed"] = json.loads(summary[-1]) if summary else {}
                if run["relayed"].get("stopped_by") != "SIGTERM":
                    print(f"warning: the relay of {run['client']} over {run['protocol']} "
                          f"ended early: {run['relayed']}", file=sys.stderr)
            if "process" in run:
                run["process"].wait()
    for run in runs:
        lines = [line for line in run.get("output", "").splitlines() if line.startswith("{")]
        if not lines or run["process"].returncode != 0:
            print(f"warning: {run['client']} over {run['protocol']} failed", file=sys.stderr)
            if not lines:
                continue
        line = {"round": args.round, "protocol": run["protocol"], **json.loads(lines[-1]),
                "client": run["client"],
                "relay_connections": run["relayed"].get("connections"),
                **server_counts(args.log, log_from, run["source"])}
        print(json.dumps(line), flush=True)
        print("  %-2s G=%-3s %-8s %-12s p50 %6.1f ms  connections %s (client %s, relay %s)"
              "  full handshakes %s  not ok %s" % (
                  line["protocol"], args.every, line["client"], line["operation"],
                  line["p50_us"] / 1000, line["server_connections"],
                  line["client_new_connections"], line["relay_connections"],
                  line["server_full_handshakes"], line["not_ok"]), file=sys.stderr)


def cpus():
    print(" ".join(str(c) for c in sorted(os.sched_getaffinity(0))))


_UNITS = {"us": 1.0, "ms": 1e3, "s": 1e6, "m": 60e6, "h": 3600e6}


def _micros(text):
    match = re.fullmatch(r"([\d.]+)(us|ms|s|m|h)", text)
    return float(match.group(1)) * _UNITS[match.group(2)] if match else None


def run_wrk(args):
    command = ["wrk", "-t1", "-c%d" % args.k, "-d%ds" % args.seconds, "--latency",
               "-s", args.script, args.url]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    requests = re.search(r"(\d+) requests in ([\d.]+)(\w+)", output)
    rate = re.search(r"Requests/sec:\s+([\d.]+)", output)
    if proc.returncode != 0 or not requests or not rate:
        sys.stderr.write(output)
        sys.exit("wrk failed")
    completed = int(requests.group(1))
    latency = dict(re.findall(r"^\s+(50|99)%\s+(\S+)$", output, re.M))
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)",
                       output)
    not_ok = int(non2xx.group(1)) if non2xx else 0
    if errors:
        not_ok += sum(int(n) for n in errors.groups())
    cpu_us = (usage.ru_utime + usage.ru_stime) * 1e6
    report = {
        "client": "wrk", "mode": "load", "k": args.k, "requests": completed,
        "completed": completed, "seconds": _micros(requests.group(2) + requests.group(3)) / 1e6,
        "req_per_s": float(rate.group(1)),
        "cpu_us_per_req": round(cpu_us / completed, 2) if completed else 0.0,
        "peak_rss_kib": usage.ru_maxrss, "threads_started": None,
        "p50_us": _micros(latency.get("50", "")), "p99_us": _micros(latency.get("99", "")),
        "not_ok": not_ok, "body_bytes": len(os.environ.get("TAVRELLO_BENCH_BODY", "")),
    }
    print(json.dumps(report))


CLIENTS = ["wrk", "raw", "raw+pipewait", "library", "library+executor", "baseline",
           "baseline+executor"]
PROTOCOLS = {"http": "Plain HTTP", "h1": "HTTPS, HTTP/1.1 only",
             "h2": "HTTPS, HTTP/2 offered (ALPN)"}

TARGETS = {  # K -> least throughput ratio of the library to the raw client
    1: 0.95, 16: 0.95, 64: 0.95,
}
CPU_RATIO_MAX = 1.1  # plain HTTP only
POLL_LATENCY_RATIO_MAX = 1.05
BURST_RSS_MAX_KIB = 64 * 1024
DISTURBED_PCT = 10  # other load, % of one CPU, above which a run is not trusted


def _fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _ratio_text(ratios):
    if not ratios:
        return "-"
    return f"{statistics.median(ratios):.2f} ({min(ratios):.2f}–{max(ratios):.2f})"


def _other_text(rows):
    values = [r.get("other_cpu_pct") for r in rows if r.get("other_cpu_pct") is not None]
    if not values:
        return "-"
    return f"{statistics.median(values):.0f} (max {max(values):.0f})"


def _load_runs(path):
    runs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line:
                run = json.loads(line)
                run.setdefault("protocol", "http")
                runs.append(run)
    return runs


def _quiet(run):
    return (run.get("other_cpu_pct") or 0.0) <= DISTURBED_PCT


def _group(run):
    """The runs compared with each other: those of one round, protocol and K."""
    return run["round"], run["protocol"], run["k"]


def _quiet_groups(load):
    """(round, protocol, K) in which every client ran on a quiet machine."""
    groups = collections.defaultdict(list)
    for r in load:
        groups[_group(r)].append(r)
    return {key for key, rows in groups.items() if all(_quiet(r) for r in rows)}


def quiet_rounds(path):
    """Fewest quiet rounds over the protocols and values of K (0 when nothing ran)."""
    load = [r for r in _load_runs(path) if r.get("mode") == "load"]
    quiet = _quiet_groups(load)
    kinds = {_group(r)[1:] for r in load}
    return min((sum(1 for key in quiet if key[1:] == kind) for kind in kinds), default=0)


def _load_table(load, protocol, quiet, verdicts):
    tls = protocol != "http"
    raw = {_group(r): r for r in load if r["client"] == "raw"}
    lines = [
        "", f"{PROTOCOLS[protocol]}:", "",
        "| client | K | rounds | req/s | req/s × raw | CPU µs/req | CPU × raw | peak RSS MiB "
        "| threads started | p50 µs | p99 µs | not ok | other load % |"
        + (" connections | nginx saw |" if tls else ""),
        "|---|---:|---:|---:|---|---:|---|---:|---:|---:|---:|---:|---:|"
        + ("---:|---|" if tls else ""),
    ]
    label = "" if protocol == "http" else f"{protocol} "
    for k in sorted({r["k"] for r in load}):
        for client in CLIENTS:
            every = [r for r in load if r["client"] == client and r["k"] == k]
            if not every:
                continue
            rows = [r for r in every if _group(r) in quiet]
            used = f"{len(rows)} of {len(every)}"
            if not rows:
                rows, used = every, "disturbed"
            pairs = [(r, raw.get(_group(r))) for r in rows]
            pairs = [(r, b) for r, b in pairs if b]
            rate_ratios = [r["req_per_s"] / b["req_per_s"] for r, b in pairs if b["req_per_s"]]
            cpu_ratios = [r["cpu_us_per_req"] / b["cpu_us_per_req"] for r, b in pairs
                          if b["cpu_us_per_req"]]
            threads = sorted({r.get("threads_started") for r in every},
                             key=lambda t: -1 if t is None else t)
            thread_text = "-" if threads == [None] else "/".join(str(t) for t in threads)
            not_ok = sum(r["not_ok"] for r in every)
            line = (
                f"| {client} | {k} | {used} | {_fmt(_median([r['req_per_s'] for r in rows]))} "
                f"| {_ratio_text(rate_ratios)} "
                f"| {_fmt(_median([r['cpu_us_per_req'] for r in rows]), 1)} "
                f"| {_ratio_text(cpu_ratios)} "
                f"| {_fmt(_median([r['peak_rss_kib'] / 1024 for r in rows]), 1)} "
                f"| {thread_text} "
                f"| {_fmt(_median([r['p50_us'] for r in rows]))} "
                f"| {_fmt(_median([r['p99_us'] for r in rows]))} | {not_ok} "
                f"| {_other_text(every)} |")
            if tls:
                seen = sorted({r.get("server_protocol") or "nothing" for r in every})
                line += (f" {_fmt(_median([r.get('server_connections') for r in rows]))} "
                         f"| {'; '.join(seen)} |")
            lines.append(line)
            if client == "library":
                basis = f" ({used} rounds)" if used != "disturbed" else " (disturbed rounds)"
                least = TARGETS.get(k)
                if least is not None and rate_ratios:
                    got = statistics.median(rate_ratios)
                    verdicts.append((f"{label}throughput K={k} ≥ {least:.2f}× raw", got >= least,
                                     f"{got:.2f}×{basis}"))
                if cpu_ratios and not tls:
                    got = statistics.median(cpu_ratios)
                    verdicts.append((f"CPU/request K={k} ≤ {CPU_RATIO_MAX:.1f}× raw",
                                     got <= CPU_RATIO_MAX, f"{got:.2f}×{basis}"))
                verdicts.append((f"{label}one thread started at K={k}, every round",
                                 threads == [1], thread_text))
                verdicts.append((f"{label}all results ok at K={k}", not_ok == 0,
                                 f"{not_ok} not ok"))
    return lines


def _per_call(rows, field):
    calls = sum(r["completed"] for r in rows)
    values = [r.get(field) for r in rows]
    if not calls or None in values:
        return None
    return sum(values) / calls


def _poll_table(poll, verdicts):
    """Median latency per call and connections and handshakes per call, at each protocol and
    G, against the raw client of the same round."""
    raw = {(r["round"], r["protocol"], r["every_s"]): r for r in poll
           if r["client"] == "raw" and r["operation"] == "getLastData"}
    lines = [
        "", "Polling through the relay (per call: new connections and full TLS handshakes "
        "counted by nginx, new connections counted by the client itself and by the relay):", "",
        "| protocol | G s | client | operation | rounds × calls | median ms | ms × raw "
        "| new conn/call | full TLS/call | full TLS after the first (worst run) "
        "| client's new conn/call | relay conn/call | not ok |",
        "|---|---:|---|---|---:|---:|---|---:|---:|---:|---:|---:|---:|",
    ]
    kinds = sorted({(r["protocol"], r["every_s"], r["client"], r["operation"]) for r in poll},
                   key=lambda kind: (kind[0], kind[1], CLIENTS.index(kind[2]),
                                     kind[3] != "getLastData"))
    for protocol, every, client, operation in kinds:
        rows = [r for r in poll if (r["protocol"], r["every_s"], r["client"], r["operation"])
                == (protocol, every, client, operation)]
        pairs = [(r, raw.get((r["round"], protocol, every))) for r in rows]
        ratios = [r["p50_us"] / b["p50_us"] for r, b in pairs if b and b["p50_us"]]
        connections = _per_call(rows, "server_connections")
        full = _per_call(rows, "server_full_handshakes")
        after_first = max(max(0, r.get("server_full_handshakes", 0) - 1) for r in rows)
        not_ok = sum(r["not_ok"] for r in rows)
        calls = sorted({r["completed"] for r in rows})
        lines.append(
            f"| {protocol} | {every:g} | {client} | {operation} "
            f"| {len(rows)} × {'/'.join(str(c) for c in calls)} "
            f"| {_fmt(_median([r['p50_us'] / 1000 for r in rows]), 1)} | {_ratio_text(ratios)} "
            f"| {_fmt(connections, 2)} | {_fmt(full, 2)} | {after_first} "
            f"| {_fmt(_per_call(rows, 'client_new_connections'), 2)} "
            f"| {_fmt(_per_call(rows, 'relay_connections'), 2)} | {not_ok} |")
        if client != "library":
            continue
        name = f"polling {protocol} G={every:g}"
        if operation == "createGroup":
            verdicts.append((f"{name}: writes resume, no full TLS handshake after the first",
                             after_first == 0, f"{after_first} at most in a run"))
            continue
        raw_rows = [b for _, b in pairs if b]
        if ratios:
            got = statistics.median(ratios)
            verdicts.append((f"{name}: median latency ≤ {POLL_LATENCY_RATIO_MAX:.2f}× raw",
                             got <= POLL_LATENCY_RATIO_MAX, f"{got:.2f}×"))
        for field, what in (("server_connections", "new connections"),
                            ("server_full_handshakes", "full TLS handshakes")):
            ours, theirs = _per_call(rows, field), _per_call(raw_rows, field)
            if ours is not None and theirs is not None:
                verdicts.append((f"{name}: {what} per call ≤ raw's", ours <= theirs,
                                 f"{ours:.2f} against {theirs:.2f}"))
        verdicts.append((f"{name}: all results ok", not_ok == 0, f"{not_ok} not ok"))
    return lines


def table(path):
    runs = _load_runs(path)
    load = [r for r in runs if r.get("mode") == "load"]
    burst = [r for r in runs if r.get("mode") == "burst"]
    poll = [r for r in runs if r.get("mode") == "poll"]
    rounds = sorted({r["round"] for r in runs if r.get("mode") != "poll"})
    quiet = _quiet_groups(load)

    lines = [
        f"Rounds: {len(rounds)}. A round counts at a protocol and K when every client ran on a "
        f"quiet machine (other processes under {DISTURBED_PCT}% of a CPU); when no round is "
        "quiet there, all count and the row says \"disturbed\". Values are medians over the "
        "rounds that count; × raw is the median of the ratios to the raw libcurl client of the "
        "same round, protocol and K (min–max in brackets); other load is over all rounds, % of "
        "one CPU. Over HTTPS, connections are those nginx logged for the run.",
    ]
    verdicts = []
    for protocol in PROTOCOLS:
        rows = [r for r in load if r["protocol"] == protocol]
        if rows:
            lines += _load_table(rows, protocol, quiet, verdicts)

    if burst:
        lines += ["", "Burst (all requests issued at once, then drained):", "",
                  "| rounds | requests | completed (worst) | handlers missing | handlers repeated "
                  "| seconds | peak RSS MiB (max) | threads started | not ok | other load % |",
                  "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        worst = min(r["completed"] for r in burst)
        missing = sum(r["handler_missing"] for r in burst)
        repeated = sum(r["handler_repeated"] for r in burst)
        rss = max(r["peak_rss_kib"] for r in burst)
        threads = sorted({r["threads_started"] for r in burst})
        not_ok = sum(r["not_ok"] for r in burst)
        requests = burst[0]["requests"]
        lines.append(
            f"| {len(burst)} | {requests:,} | {worst:,} | {missing} | {repeated} "
            f"| {_fmt(_median([r['seconds'] for r in burst]), 2)} | {rss / 1024:.1f} "
            f"| {'/'.join(str(t) for t in threads)} | {not_ok} | {_other_text(burst)} |")
        verdicts.append((f"burst: {requests:,} complete, each handler once",
                         worst == requests and missing == 0 and repeated == 0 and not_ok == 0,
                         f"{worst:,} completed, {missing} missing, {repeated} repeated"))
        verdicts.append(("burst: peak RSS < 64 MiB", rss < BURST_RSS_MAX_KIB,
                         f"{rss / 1024:.1f} MiB"))
        verdicts.append(("burst: one thread started", threads == [1],
                         "/".join(str(t) for t in threads)))

    if poll:
        lines += _poll_table(poll, verdicts)

    timed = [r for r in runs if r.get("mode") != "poll"]
    disturbed = [r for r in timed if not _quiet(r)]
    if disturbed:
        lines += ["", f"{len(disturbed)} of {len(timed)} runs had other processes taking more "
                  f"than {DISTURBED_PCT}% of a CPU. Such a run is biased, not only noisy: the "
                  "single-threaded clients then compete for their core with one thread, the "
                  "library with two."]
    if verdicts:
        lines += ["", "| target | met | measured |", "|---|---|---|"]
        for name, met, measured in verdicts:
            lines.append(f"| {name} | {'yes' if met else '**no**'} | {measured} |")
    print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("free-port")
    sub.add_parser("cpus")
    sub.add_parser("ready").add_argument("port", type=int)
    sub.add_parser("settle").add_argument("--max-seconds", type=float, default=60)
    ann = sub.add_parser("annotate")
    ann.add_argument("--round", type=int, required=True)
    ann.add_argument("--busy", type=float, required=True)
    ann.add_argument("--nginx", type=float, required=True)
    ann.add_argument("--start", type=float, required=True)
    ann.add_argument("--end", type=float, required=True)
    ann.add_argument("--line", required=True)
    ann.add_argument("--protocol", default="http", choices=PROTOCOLS)
    ann.add_argument("--log")
    ann.add_argument("--log-from", type=int, default=0)
    pol = sub.add_parser("poll")
    for name in ("bin", "ca", "log", "protocols", "h1", "h2"):
        pol.add_argument("--" + name, required=name not in ("h1", "h2"))
    pol.add_argument("--round", type=int, required=True)
    pol.add_argument("--every", type=float, required=True)
    pol.add_argument("--calls", type=int, required=True)
    pol.add_argument("--delay-ms", type=float, required=True)
    pol.add_argument("--baseline")
    wrk = sub.add_parser("wrk")
    wrk.add_argument("--url", required=True)
    wrk.add_argument("--script", required=True)
    wrk.add_argument("--k", type=int, required=True)
    wrk.add_argument("--seconds", type=int, default=2)
    sub.add_parser("quiet-rounds").add_argument("results")
    tab = sub.add_parser("table")
    tab.add_argument("results")
    args = parser.parse_args()
    if args.command == "free-port":
        free_port()
    elif args.command == "cpus":
        cpus()
    elif args.command == "ready":
        sys.exit(ready(args.port))
    elif args.command == "quiet-rounds":
        print(quiet_rounds(args.results))
    elif args.command == "settle":
        settle(args.max_seconds)
    elif args.command == "annotate":
        annotate(args)
    elif args.command == "wrk":
        run_wrk(args)
    elif args.command == "poll":
        poll(args)
    else:
        table(args.results)


if __name__ == "__main__":
    main()

"""Medium files on path A (bench/run --medium): files of 1, 8 and 64 MiB, one at a time, through
zelk_relay's 100 Mbit/s, 50 ms path, each timed from the moment it is linked into the watched
outbox to the moment the client deletes it, so that the wait for the outbox, the first offer, the
controller's startup, the finish and the server's verdict all count. The client's send loop ticks
as the packaged sample's does (`vidangeDirFile=200`). zelkbench.py hands itself in as `zb`, whose
rig of real programs this module reuses. Measured, never asserted."""

import os
import statistics
import tempfile
import time

MIB = 1024 * 1024
FULL = {"sizes": [1, 8, 64], "rounds": 3}
QUICK = {"sizes": [1], "rounds": 1}
# The packaged sample's send loop, in ms: a user's client ticks so.
LOOP_MS = 200
# Between files the path's queue empties and the previous file's late answers are gone.
SETTLE_S = 1.0


def add_options(parser):
    parser.add_argument("--medium", action="store_true",
                        help="only medium files (1, 8, 64 MiB) on path A, from drop to deletion")
    parser.add_argument("--medium-rounds", type=int, help="medium files: files of each size")
    parser.add_argument("--medium-mib", type=int, nargs="+", help="medium files: the sizes")
    parser.add_argument("--medium-loop-ms", type=int, default=LOOP_MS,
                        help="medium files: the client's send loop (vidangeDirFile=)")
    parser.add_argument("--medium-logs", help="medium files: copy the programs' logs here")


def run(zb, bindir, args, results):
    sizes = QUICK if args.quick else FULL
    out = {"loop_ms": args.medium_loop_ms, "runs": []}
    work = tempfile.mkdtemp(prefix="zelkbench-medium.")
    try:
        with zb.ZelkRig(bindir, work, 1, 9999, args.medium_loop_ms, relay=zb.link_path(),
                        trace=True) as rig:
            for mib in args.medium_mib or sizes["sizes"]:
                for round_index in range(args.medium_rounds or sizes["rounds"]):
                    out["runs"].append(one_file(zb, rig, work, mib * MIB, round_index))
            out["relay"] = rig.stop_relay()
        if args.medium_logs:
            os.makedirs(args.medium_logs, exist_ok=True)
            for log in [f for f in os.listdir(work) if f.endswith(".log")]:
                zb.shutil.copy(os.path.join(work, log), args.medium_logs)
    finally:
        zb.shutil.rmtree(work, ignore_errors=True)
    results["medium"] = out
    results["machine"]["load_after"] = os.getloadavg()
    return results


def one_file(zb, rig, work, size, round_index):
    name = f"medium-{size // MIB}-{round_index}.bin"
    source = os.path.join(work, "source-" + name)
    zb.make_source(source, size)
    time.sleep(SETTLE_S)
    load = os.getloadavg()[0]
    watch = zb.DeletionWatch(rig.outboxes)
    try:
        start = time.monotonic()
        os.link(source, os.path.join(rig.outboxes[0], name))
        # The deletion alone ends it: the client's record of the delivery comes a little earlier.
        end = watch.wait([(rig.outboxes[0], name)], zb.transfer_bound(size, 1))
    finally:
        watch.close()
    seconds = end - start
    if not rig.went_extended(0, name):
        raise zb.BenchError(f"{name} went by the plain protocol (see the client's log)")
    received = rig.received(0, name)
    if not zb.same_content(source, received):
        raise zb.BenchError(f"{name}: the received file differs from the one sent")
    os.unlink(received)
    os.unlink(source)
    r = {"size": size, "seconds": seconds, "MBps": size / seconds / 1e6, "load": load}
    print(f"medium, {size // MIB} MiB, round {round_index + 1}: {seconds:.2f} s, "
          f"{100 * r['MBps'] / (zb.LINK_BYTES_PER_S / 1e6):.1f} % of the link, "
          f"load {load:.2f}", flush=True)
    return r


def report(medium, zb):
    link = zb.LINK_BYTES_PER_S / 1e6
    rtt = zb.LINK_RTT_MS / 1000
    lines = [f"Medium files on path A, one at a time, from the drop into the outbox to the deletion "
             f"of the source (send loop {medium['loop_ms']} ms); medians, load average at each "
             "drop.", "",
             "| File MiB | runs | s | round trips | MB/s | share of link | load |",
             "|---|---|---|---|---|---|---|"]
    for size in sorted({r["size"] for r in medium["runs"]}):
        runs = [r for r in medium["runs"] if r["size"] == size]
        s = statistics.median(r["seconds"] for r in runs)
        lines.append(f"| {size / MIB:g} | {len(runs)} | {s:.2f} | {s / rtt:.0f} | "
                     f"{size / s / 1e6:.2f} | {100 * size / s / 1e6 / link:.1f} % | "
                     + " ".join(f"{r['load']:.2f}" for r in runs) + " |")
    lines += ["", f"- relay: `{medium['relay']}`"]
    return lines

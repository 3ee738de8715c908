"""Many files beside rsync and uftp (bench/run --many): the same sets of small files moved by
ZelkFiles through zelk_relay's path A, by an rsync daemon through bench/tcpproxy.py's copy of that
path, and by uftp, side by side in one run; then the rate, second by second, of one large file on
path A. zelkbench.py hands itself in as `zb`, whose helpers (processes, relay paths, the rig of
real programs) this module reuses. Every process started here is stopped by its pid; every case
has a time cap, past which it is reported as not finished with the files done by then."""

import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KIB = 1024

# How many files in cases (a), (b) and (c), (d); the large file; the cap on each case in seconds.
FULL = {"a": 1000, "b": 300, "d": 10000, "big_mib": 256, "cap": 600}
QUICK = {"a": 20, "b": 10, "d": 50, "big_mib": 4, "cap": 120}


def add_options(parser):
    parser.add_argument("--many", action="store_true",
                        help="only many small files: ZelkFiles beside rsync and uftp")
    parser.add_argument("--many-cap", type=float,
                        help="many files: seconds at most for each case (then reported as not "
                        "finished)")
    parser.add_argument("--many-scale", type=float, default=1.0,
                        help="many files: fraction of the usual file counts")
    parser.add_argument("--many-big-mib", type=int,
                        help="many files: the one large file whose rate is shown second by second")
    parser.add_argument("--many-figures", default="docs/bench",
                        help="many files: folder for the pictures ('' for none)")


def case_sizes(name, counts, scale):
    """The files of each case: fixed sizes, and for (b) and (c) sizes drawn from a fixed seed."""
    count = max(1, int(counts["b" if name == "c" else name] * scale))
    if name == "a":
        return [4 * KIB] * count
    if name in ("b", "c"):
        draw = random.Random(41)
        return [draw.randint(1, 256 * KIB) for _ in range(count)]
    return [KIB] * count


def make_files(folder, sizes, seed):
    """Files whose content comes from `seed`: each case moves the same bytes in every run."""
    os.makedirs(folder)
    draw = random.Random(seed)
    paths = []
    for i, size in enumerate(sizes):
        paths.append(os.path.join(folder, f"f{i:05d}.bin"))
        with open(paths[-1], "wb") as f:
            f.write(draw.randbytes(size))
    return paths


def compare(sources, received_of):
    """How many of the sources arrived, and whether every one that arrived is byte-identical."""
    arrived = 0
    identical = True
    for source in sources:
        target = received_of(source)
        if os.path.exists(target):
            arrived += 1
            with open(source, "rb") as a, open(target, "rb") as b:
                identical = identical and a.read() == b.read()
    return arrived, identical


def outcome(case, contender, path, sources, seconds, done, checked, cap, extra=None):
    """`done`: files the contender counts as sent; `checked`: (files arrived, each of them
    byte-identical). A file counted as sent that did not arrive fails the case."""
    total = sum(os.path.getsize(s) for s in sources)
    finished = done == len(sources) and seconds is not None and seconds <= cap
    arrived, identical = checked
    r = {"case": case, "contender": contender, "path": path, "files": len(sources),
         "bytes": total, "seconds": seconds, "done": done, "finished": finished,
         "identical": identical and finished and arrived == len(sources),
         "arrived": arrived, "arrived_identical": identical,
         "files_per_s": done / seconds if seconds else 0.0,
         "MBps": total / seconds / 1e6 if seconds and finished else 0.0}
    r.update(extra or {})
    print(f"many files, ({case}) {contender} {path}: "
          + (f"{len(sources)} files, {total / 1e6:.1f} MB in {seconds:.2f} s, "
             f"{r['files_per_s']:.1f} files/s, {r['MBps']:.2f} MB/s, byte-identical "
             f"{'yes' if r['identical'] else 'NO'}" if finished else
             f"did not finish in {cap:g} s: {done} of {len(sources)} files done, {arrived} "
             f"arrived, {'each' if identical else 'NOT each'} byte-identical"), flush=True)
    return r


# --- The TCP path: bench/tcpproxy.py --------------------------------------------------------------


class TcpPath:
    """bench/tcpproxy.py in front of a TCP port: path A's rate, delay and queue, for TCP."""

    def __init__(self, zb, work, target_port):
        self.log = os.path.join(work, "tcpproxy.log")
        self.proc = zb.Started([sys.executable, os.path.join(HERE, "tcpproxy.py"), "--target-port",
                                str(target_port), "--rate-mbit", str(zb.LINK_MBIT), "--owd",
                                str(zb.LINK_RTT_MS / 2), "--queue", str(zb.LINK_QUEUE)], self.log)

        def announced():
            with open(self.log, "rb") as f:
                return b"\n" in f.read() or not self.proc.alive()

        zb.wait_for(announced, zb.READY_SECONDS, "the TCP proxy's port")
        if not self.proc.alive():
            raise zb.BenchError("tcpproxy.py did not start (see tcpproxy.log)")
        with open(self.log) as f:
            self.port = int(f.readline())

    def stop(self):
        self.proc.stop()
        with open(self.log) as f:
            lines = [line.strip() for line in f if line.startswith("tcpproxy:")]
        return lines[-1] if lines else "tcpproxy printed no counts"


def check_proxy(zb, work):
    """The proxy's round trip and bulk rate, measured through it to a sink on loopback, so that the
    run shows the path rsync had."""
    sink = socket.create_server(("127.0.0.1", 0))
    proxy = TcpPath(zb, work, sink.getsockname()[1])
    try:
        client = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
        peer, _ = sink.accept()
        peer.settimeout(30)
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        trips = []
        for _ in range(5):
            start = time.monotonic()
            client.sendall(b"?")
            peer.recv(1)
            peer.sendall(b"!")
            client.recv(1)
            trips.append(time.monotonic() - start)
        size = 32 << 20
        start = time.monotonic()
        sender = subprocess.Popen([sys.executable, "-c", "import sys,socket\n"
                                   f"s=socket.create_connection(('127.0.0.1',{proxy.port}))\n"
                                   f"b=bytes(65536)\nfor _ in range({size >> 16}): s.sendall(b)\n"
                                   "s.shutdown(socket.SHUT_WR); s.recv(1)"])
        bulk, _ = sink.accept()
        got = 0
        while True:
            data = bulk.recv(1 << 20)
            if not data:
                break
            got += len(data)
        seconds = time.monotonic() - start
        bulk.close()
        sender.wait(timeout=30)
        for s in (client, peer):
            s.close()
    finally:
        counts = proxy.stop()
        sink.close()
    if got != size:
        raise zb.BenchError(f"the TCP proxy passed {got} of {size} bytes")
    return {"rtt_ms": 1000 * sorted(trips)[2], "MBps": size / seconds / 1e6, "counts": counts}


# --- rsync in daemon mode -------------------------------------------------------------------------


def tcp_port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class RsyncDaemon:
    """rsync --daemon in the foreground on a free loopback port, one writable module."""

    def __init__(self, zb, work):
        self.dest = os.path.join(work, "rsync-in")
        os.makedirs(self.dest)
        self.port = zb.free_port()
        conf = os.path.join(work, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write(f"use chroot = no\nuid = {os.getuid()}\ngid = {os.getgid()}\n"
                    f"log file = {os.path.join(work, 'rsyncd.log')}\n"
                    f"[bench]\npath = {self.dest}\nread only = no\n")
        self.proc = zb.Started([RSYNC, "--daemon", "--no-detach", f"--config={conf}",
                                f"--port={self.port}", "--address=127.0.0.1"],
                               os.path.join(work, "rsyncd.out"))
        zb.wait_for(lambda: tcp_port_open(self.port) or not self.proc.alive(), zb.READY_SECONDS,
                    "the rsync daemon's port")
        if not self.proc.alive():
            raise zb.BenchError("the rsync daemon did not start (see rsyncd.out)")

    def stop(self):
        self.proc.stop()


def rsync_case(zb, work, case, sources, through_path, cap):
    daemon = RsyncDaemon(zb, work)
    proxy = TcpPath(zb, work, daemon.port) if through_path else None
    port = proxy.port if proxy else daemon.port
    counts = None
    try:
        start = time.monotonic()
        client = subprocess.Popen([RSYNC, "-a", os.path.dirname(sources[0]) + "/",
                                   f"rsync://127.0.0.1:{port}/bench/"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=open(os.path.join(work, "rsync.err"), "wb"))
        status = zb.wait_exit(client, cap)
        seconds = time.monotonic() - start
        if status is None:
            os.kill(client.pid, 9)
            client.wait()
    finally:
        if proxy:
            counts = proxy.stop()
        daemon.stop()
    checked = compare(sources, lambda s: os.path.join(daemon.dest, os.path.basename(s)))
    if status is not None and client.returncode != 0:
        raise zb.BenchError(f"rsync failed with status {client.returncode} (see rsync.err)")
    # rsync says nothing per file: what it moved is what arrived.
    return outcome(case, "rsync", "path A (TCP proxy)" if through_path else "loopback", sources,
                   seconds if status is not None else cap + 1, checked[0], checked, cap,
                   {"proxy": counts})


# --- ZelkFiles ----------------------------------------------------------------------------------


def extended_names(rig):
    """The names that the client's trace says went by the extension, read once."""
    return rig.extended_names(0)


def zelk_case(zb, bindir, work, case, sources, loss, on_path, cap, keyed):
    """From the files' entering the outbox (hard links) to the outbox being empty."""
    relay = zb.link_path(loss) if on_path else None
    counts = None
    with zb.ZelkRig(bindir, work, 1, 9999, 1, relay=relay, trace=True, keyed=keyed) as rig:
        outbox = rig.outboxes[0]
        watch = zb.DeletionWatch([outbox])
        cpu0 = rig.cpu()
        try:
            start = time.monotonic()
            for source in sources:
                os.link(source, os.path.join(outbox, os.path.basename(source)))
            awaited = [(outbox, os.path.basename(s)) for s in sources]
            seconds = watch.wait(awaited, cap) - start
        except zb.BenchError:
            seconds = None
        finally:
            done = len(getattr(watch, "deleted_at", {}))
            watch.close()
        cpu1 = rig.cpu()
        rss = rig.peak_rss()
        if relay:
            counts = rig.stop_relay()
        extended = len(extended_names(rig) & {os.path.basename(s) for s in sources})
        checked = compare(sources, lambda s: rig.received(0, os.path.basename(s)))
    return outcome(case, "ZX1 keyed" if keyed else "ZX1",
                   "path A (zelk_relay)" if on_path else "loopback", sources,
                   seconds if seconds is not None else cap + 1, min(done, len(sources)),
                   checked, cap,
                   {"relay": counts, "extended": extended, "server_cpu": cpu1[0] - cpu0[0],
                    "client_cpu": cpu1[1] - cpu0[1], "server_rss": rss[0], "client_rss": rss[1]})


def received_bytes(folder, skip):
    """Bytes written into the origin's folder (holes not counted), the warm-up file left out: the
    server receives a file under a hidden staging name and renames it once whole."""
    total = 0
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return 0
    for entry in entries:
        try:
            st = entry.stat(follow_symlinks=False)
        except FileNotFoundError:
            continue
        if entry.name != skip:
            total += min(st.st_size, st.st_blocks * 512)
    return total


def big_file_per_second(zb, bindir, work, size):
    """One large file on path A by the extension; the bytes in the receiver's folder, sampled
    every second, give its rate second by second."""
    source = os.path.join(work, "big.bin")
    zb.make_source(source, size)
    samples = []
    stop = threading.Event()
    with zb.ZelkRig(bindir, work, 1, 9999, 1, relay=zb.link_path(), trace=True) as rig:
        target = rig.received(0, "big.bin")

        start = time.monotonic()

        def sample():
            while not stop.is_set():
                samples.append((time.monotonic() - start,
                                received_bytes(os.path.dirname(target), "warm.bin")))
                stop.wait(1.0 - (time.monotonic() - start) % 1.0)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            seconds = rig.transfer([(source, "big.bin")], zb.transfer_bound(size, 1))
        finally:
            stop.set()
            sampler.join()
        samples.append((time.monotonic() - start, size))  # the last part of a second
        counts = rig.stop_relay()
        if not zb.same_content(source, target):
            raise zb.BenchError("the large file on path A arrived different")
    os.unlink(source)
    rates = [(t1, (b1 - b0) / (t1 - t0) / 1e6) for (t0, b0), (t1, b1) in zip(samples, samples[1:])]
    print(f"many files, one {size >> 20} MiB file on path A: {size / seconds / 1e6:.2f} MB/s "
          f"in {seconds:.1f} s; per second: {' '.join(f'{r:.1f}' for _, r in rates)}", flush=True)
    return {"size": size, "seconds": seconds, "MBps": size / seconds / 1e6, "rates": rates,
            "relay": counts}


# --- uftp -----------------------------------------------------------------------------------------


def start_relay(zb, bindir, work, server_port):
    """zelk_relay's path A in front of a UDP port; gives the relay and its port."""
    log = os.path.join(work, "relay.log")
    relay = zb.Started([os.path.join(bindir, "zelk_relay"), "--server-port", str(server_port),
                        "--port", "0", "--lifetime", "86400"] + zb.link_path(), log)

    def announced():
        with open(log, "rb") as f:
            return b"\n" in f.read() or not relay.alive()

    zb.wait_for(announced, zb.READY_SECONDS, "the relay's port")
    if not relay.alive():
        relay.stop()
        raise zb.BenchError("zelk_relay did not start (see relay.log)")
    with open(log) as f:
        return relay, int(f.readline())


def relay_counts(relay, work):
    relay.stop()
    with open(os.path.join(work, "relay.log")) as f:
        lines = [line.strip() for line in f if line.startswith("relay:")]
    return lines[-1] if lines else "zelk_relay printed no counts"


def uftp_case(zb, bindir, work, case, sources, cap):
    """uftp sends the folder of files to one listed receiver (closed group: it ends when that
    receiver has everything) through zelk_relay's path A, at a fixed rate just under the link's:
    uftp's own congestion control is for multicast groups."""
    dest = os.path.join(work, "uftp-in")
    os.makedirs(dest)
    port = zb.free_port()
    daemon = zb.Started([zb.UFTPD, "-d", "-q", "-D", dest, "-p", str(port), "-I", "lo", "-U",
                         UFTP_ID, "-B", str(4 << 20)], os.path.join(work, "uftpd.log"))
    relay = None
    try:
        zb.wait_for(lambda: zb.udp_port_bound(port, daemon.pid) or not daemon.alive(),
                    zb.READY_SECONDS, "uftpd's port")
        relay, relay_port = start_relay(zb, bindir, work, port)
        start = time.monotonic()
        sender = subprocess.Popen([zb.UFTP, "-M", "127.0.0.1", "-p", str(relay_port), "-I", "lo",
                                   "-H", UFTP_ID, "-R", str(UFTP_KBPS), "-B", str(4 << 20), "-q",
                                   os.path.dirname(sources[0])],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL)
        status = zb.wait_exit(sender, cap)
        seconds = time.monotonic() - start
        if status is None:
            os.kill(sender.pid, 9)
            sender.wait()
    finally:
        counts = relay_counts(relay, work) if relay else None
        daemon.stop()
    folder = os.path.join(dest, os.path.basename(os.path.dirname(sources[0])))
    arrived, identical = compare(sources, lambda s: os.path.join(folder, os.path.basename(s)))
    if status is not None and sender.returncode != 0:
        identical = False
    return outcome(case, "uftp", "path A (zelk_relay)", sources,
                   seconds if status is not None else cap + 1, arrived, (arrived, identical), cap,
                   {"relay": counts})


UFTP_ID = "0x00000001"
UFTP_KBPS = 95000  # under 100 Mbit/s with uftp's and IP's heads: the queue never overflows


# --- Pictures -------------------------------------------------------------------------------------

CONTENDERS = ("ZX1", "ZX1 keyed", "uftp", "rsync")
COLOURS = {"ZX1": "#1f77b4", "ZX1 keyed": "#6baed6", "uftp": "#2ca02c", "rsync": "#d62728"}


def pictures(many, folder):
    """The rate per second of the large file and the many-files cases as bars, as PNG files.
    Debian's matplotlib belongs to Debian's interpreter: when this one is another (a python3
    of its own earlier in the PATH), that one draws them."""
    try:
        import matplotlib
    except ImportError:
        system = "/usr/bin/python3"
        if os.path.realpath(sys.executable) == os.path.realpath(system) or not os.access(
                system, os.X_OK):
            print("pictures skipped: needs python3-matplotlib (bench/run installs it)", flush=True)
            return []
        with tempfile.NamedTemporaryFile("w", suffix=".json") as figures:
            json.dump(many, figures)
            figures.flush()
            script = ("import json, sys; sys.path.insert(0, sys.argv[1]); import manyfiles; "
                      "many = json.load(open(sys.argv[2])); "
                      "print(json.dumps(manyfiles.draw(many, sys.argv[3])))")
            drawn = subprocess.run([system, "-c", script, HERE, figures.name, folder],
                                   capture_output=True, text=True, timeout=120)
        if drawn.returncode != 0:
            print("pictures skipped: " + drawn.stderr.strip().splitlines()[-1], flush=True)
            return []
        return json.loads(drawn.stdout)
    return draw(many, folder)


def draw(many, folder):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    os.makedirs(folder, exist_ok=True)
    made = [picture_per_second(plt, many["big"], os.path.join(folder, "path-a-per-second.png")),
            picture_cases(plt, many, os.path.join(folder, "many-files.png"))]
    for path in made:
        print(f"picture: {path}", file=sys.stderr, flush=True)
    return made


def picture_per_second(plt, big, path):
    fig, ax = plt.subplots(figsize=(8, 3.6), dpi=100)
    # Each rate is of the second that ends at its time: the first one's starts at 0.
    times = [0.0] + [t for t, _ in big["rates"]]
    rates = [r for _, r in big["rates"]]
    ax.step(times, rates[:1] + rates, where="pre", label="ZX1, bytes arrived each second")
    ax.axhline(12.5, color="grey", linestyle="--", linewidth=1, label="the link (12.5 MB/s)")
    ax.axhline(12.5 * 1430 / 1480, color="grey", linestyle=":", linewidth=1,
               label="file bytes at most (1430 of 1480 per datagram)")
    ax.set_xlabel("seconds from the file entering the outbox")
    ax.set_ylabel("MB/s")
    ax.set_ylim(0, 14)
    ax.set_title(f"One file of {big['size'] >> 20} MiB on path A (100 Mbit/s, 50 ms, "
                 f"queue of one BDP): {big['MBps']:.2f} MB/s overall", fontsize=10)
    ax.legend(loc="lower center", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path


def picture_cases(plt, many, path):
    names = sorted({r["case"] for r in many["cases"]})
    fig, axes = plt.subplots(1, len(names), figsize=(3.2 * len(names), 3.8), dpi=100)
    for ax, name in zip(axes if len(names) > 1 else [axes], names):
        runs = {r["contender"]: r for r in many["cases"] if r["case"] == name}
        shown = [c for c in CONTENDERS if c in runs]
        heights = [runs[c]["files_per_s"] for c in shown]
        bars = ax.bar(range(len(shown)), heights, color=[COLOURS[c] for c in shown],
                      hatch=None)
        for bar, c in zip(bars, shown):
            r = runs[c]
            label = (f"{r['files_per_s']:.1f}\n{r['seconds']:.3g} s" if r["finished"] else
                     f"unfinished\n{r['done']}/{r['files']}")
            if not r["finished"]:
                bar.set_hatch("//")
            ax.annotate(label, (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                        ha="center", va="bottom", fontsize=7)
        first = next(iter(runs.values()))
        ax.set_xticks(range(len(shown)), shown, rotation=30, fontsize=8)
        where = first["path"].split(" (")[0]
        ax.set_title(f"({name}) {first['files']} {many['what'][name]}\n{where}, "
                     f"{first['bytes'] / 1e6:.1f} MB", fontsize=8)
        # rsync and ZelkFiles differ by two orders of magnitude: a linear axis hides one of them.
        ax.set_yscale("log")
        ax.set_ylim(max(0.1, min(heights) / 3), max(heights + [1]) * 6)
    axes_first = axes[0] if len(names) > 1 else axes
    axes_first.set_ylabel("files per second (log scale)")
    fig.suptitle(f"Many files: outbox to empty; rsync through the TCP proxy, uftp and ZelkFiles "
                 f"through zelk_relay (cap {many['cap']:g} s)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path


# --- The section ----------------------------------------------------------------------------------

CASES = (("a", "files of 4 KiB", 0.0, True),
         ("b", "files of 1 B to 256 KiB", 0.0, True),
         ("c", "files of (b), 1 % loss each way", 0.01, True),
         ("d", "files of 1 KiB", 0.0, False))

RSYNC = shutil.which("rsync")


def run(zb, bindir, args, results):
    sizes = QUICK if args.quick else FULL
    cap = args.many_cap or sizes["cap"]
    out = {"cap": cap, "cases": [], "what": {c[0]: c[1] for c in CASES}}
    work = tempfile.mkdtemp(prefix="zelkbench-many.")
    try:
        out["proxy_check"] = check_proxy(zb, tempfile.mkdtemp(dir=work))
        print("many files, the TCP proxy:", out["proxy_check"], flush=True)
        for name, _what, loss, on_path in CASES:
            folder = os.path.join(work, f"files-{name}")
            seed = ord("b" if name == "c" else name)
            sources = make_files(folder, case_sizes(name, sizes, args.many_scale), seed)
            out["cases"] += measure_case(zb, bindir, work, name, sources, loss, on_path, cap)
            shutil.rmtree(folder, ignore_errors=True)
        out["big"] = big_file_per_second(zb, bindir, tempfile.mkdtemp(dir=work),
                                         (args.many_big_mib or sizes["big_mib"]) << 20)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    results["many"] = out
    if args.many_figures:
        out["pictures"] = pictures(out, args.many_figures)
    results["machine"]["load_after"] = os.getloadavg()
    return results


def measure_case(zb, bindir, work, name, sources, loss, on_path, cap):
    runs = []
    for keyed in (False, True):
        runs.append(zelk_case(zb, bindir, tempfile.mkdtemp(dir=work), name, sources, loss, on_path,
                              cap, keyed))
    if zb.UFTP and zb.UFTPD and name in ("a", "b"):
        runs.append(uftp_case(zb, bindir, tempfile.mkdtemp(dir=work), name, sources, cap))
    if RSYNC and not loss:
        runs.append(rsync_case(zb, tempfile.mkdtemp(dir=work), name, sources, on_path, cap))
    elif not RSYNC:
        print("rsync skipped: bench/run installs it", flush=True)
    return runs


def byte_identical(r):
    if r["identical"]:
        return "yes"
    if not r["finished"] and r["arrived_identical"] and r["arrived"] >= r["done"]:
        return f"the {r['arrived']} arrived: yes"
    return "NO"


def report(many):
    link = 12.5
    p = many["proxy_check"]
    lines = [f"Many files, each case capped at {many['cap']:g} s. The TCP proxy measured before "
             f"the cases: round trip {p['rtt_ms']:.1f} ms, bulk copy {p['MBps']:.2f} MB/s.", "",
             "| Case | Contender | Path | Files | MB | s | files/s | MB/s | share of link "
             "| byte-identical |", "|---|---|---|---|---|---|---|---|---|---|"]
    for r in many["cases"]:
        on_link = r["path"].startswith("path A")
        if r["finished"]:
            cells = (f"{r['seconds']:.2f} | {r['files_per_s']:.1f} | {r['MBps']:.2f} | "
                     + (f"{100 * r['MBps'] / link:.1f} %" if on_link else "-"))
        else:
            cells = (f"did not finish in {many['cap']:g} s ({r['done']} of {r['files']} files "
                     f"done, {r['arrived']} arrived) | - | - | -")
        lines.append(f"| ({r['case']}) {many['what'][r['case']]} | {r['contender']} | "
                     f"{r['path']} | {r['files']} | {r['bytes'] / 1e6:.1f} | {cells} | "
                     f"{byte_identical(r)} |")
    lines.append("")
    for r in many["cases"]:
        if "extended" in r and r["finished"]:
            lines.append(f"- ({r['case']}) {r['contender']}: {r['extended']} of {r['files']} files "
                         f"by the extension; CPU server {r['server_cpu']:.2f} s, client "
                         f"{r['client_cpu']:.2f} s; peak RSS server {r['server_rss']:.1f} MiB, "
                         f"client {r['client_rss']:.1f} MiB")
    b = many["big"]
    lines.append(f"- one file of {b['size'] >> 20} MiB on path A by the extension: "
                 f"{b['MBps']:.2f} MB/s ({100 * b['MBps'] / link:.1f} % of the link) in "
                 f"{b['seconds']:.1f} s; MB/s second by second: "
                 + " ".join(f"{r:.1f}" for _, r in b["rates"]))
    lines.append(f"- relay, one large file: `{b['relay']}`")
    for r in many["cases"]:
        if r.get("proxy") or r.get("relay"):
            lines.append(f"- ({r['case']}) {r['contender']}: `{r.get('proxy') or r.get('relay')}`")
    return lines

#!/usr/bin/env python3
"""Side-by-side measurements on loopback: the real ZelkFiles programs (headless) on the plain
protocol, a TFTP peer (in.tftpd with curl as its client) and the bare stop-and-wait limit
(zelk_limit), interleaved so that drift of the machine hits all of them alike; then the extension
beside the plain protocol, on loopback and through zelk_relay standing in for a wide-area path.
Run through bench/run, which installs and builds what this needs. Every process started here is
stopped by its pid; every wait has a bound."""

import argparse
import ctypes
import hashlib
import json
import os
import platform
import secrets
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import manyfiles
import mediumfiles

MIB = 1024 * 1024
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
IN_DELETE = 0x00000200
READY_SECONDS = 20


class BenchError(Exception):
    pass


# --- Processes ---------------------------------------------------------------------------------


def proc_cpu_seconds(pid, children=False):
    """User + system CPU of a running process, from /proc (children: those it has reaped)."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / CLOCK_TICKS


def proc_peak_rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def proc_children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return f.read().split()
    except OSError:
        return []


class Started:
    """A program started here, stopped by its own pid."""

    def __init__(self, argv, log_path):
        self.argv = argv
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=5)
        self.log.close()


def free_port():
    """A port free for UDP and TCP on every address at the moment of asking."""
    for _ in range(100):
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as udp:
            udp.bind(("::", 0))
            port = udp.getsockname()[1]
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as tcp:
                try:
                    tcp.bind(("::", port))
                except OSError:
                    continue
            return port
    raise BenchError("no free port")


def udp_port_bound(port, pid=None):
    """Whether a UDP socket is bound to `port` (held by process `pid`, when given)."""
    inodes = None
    if pid is not None:
        inodes = set()
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            return False
    hexport = f":{port:04X}"
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[1].endswith(hexport) and (inodes is None or fields[9] in inodes):
                        return True
        except OSError:
            pass
    return False


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise BenchError(f"timed out waiting for {what}")
        time.sleep(0.01)


# --- Deletions seen as they happen -------------------------------------------------------------


class DeletionWatch:
    """inotify on outbox folders: the moment each awaited file leaves its folder."""

    def __init__(self, folders):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise BenchError("inotify_init1: " + os.strerror(ctypes.get_errno()))
        self.folder_of = {}
        for folder in folders:
            wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_DELETE)
            if wd < 0:
                raise BenchError("inotify_add_watch: " + os.strerror(ctypes.get_errno()))
            self.folder_of[wd] = folder

    def close(self):
        os.close(self.fd)

    def wait(self, awaited, seconds, delivered=lambda: ()):
        """Waits until every (folder, name) in `awaited` is deleted, or named by `delivered()`
        (the keys whose delivery the clients recorded); gives the time of the last."""
        left = set(awaited)
        self.deleted_at = {}
        last = time.monotonic()
        deadline = last + seconds
        while left:
            for key in left & set(delivered()):
                last = self.deleted_at[key] = time.monotonic()
                left.discard(key)
            if not left:
                break
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise BenchError(f"timed out: {len(left)} file(s) still in the outbox")
            ready, _, _ = select.select([self.fd], [], [], min(remaining, 0.01))
            if not ready:
                continue
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            last = time.monotonic()
            offset = 0
            while offset < len(data):
                wd, _mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                offset += 16 + length
                key = (self.folder_of.get(wd), os.fsdecode(name))
                if key in left:
                    self.deleted_at[key] = last
                left.discard(key)
        return last


# --- Files -------------------------------------------------------------------------------------


def make_source(path, size):
    """A file of `size` bytes that no block repeats within, written once per run of the bench."""
    block = hashlib.sha256(b"zelk").digest() * 4096  # 128 KiB
    with open(path, "wb") as f:
        written = 0
        counter = 0
        while written < size:
            chunk = hashlib.sha256(counter.to_bytes(8, "little")).digest() + block
            chunk = chunk[: min(len(chunk), size - written)]
            f.write(chunk)
            written += len(chunk)
            counter += 1


def same_content(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x = fa.read(1 << 20)
            if x != fb.read(1 << 20):
                return False
            if not x:
                return True


# --- ZelkFiles ---------------------------------------------------------------------------------


class ZelkRig:
    """One headless server and N headless clients, each client with its own outbox and origin.
    `plain` keeps the clients from offering the extension; `relay` (zelk_relay's options) puts the
    relay between the clients and the server; `trace` turns the clients' trace on, which tells
    which protocol a file went by at the cost of a few lines per file."""

    def __init__(self, bindir, work, clients, piece, loop_ms, plain=False, relay=None,
                 trace=False, ext_datagram=None, keyed=False):
        self.bindir = bindir
        self.work = work
        self.port = free_port()
        self.inbox = os.path.join(work, "inbox")
        self.started = []
        self.server = None
        self.clients = []
        self.outboxes = []
        self.origins = [f"bench{i:02d}" for i in range(clients)]
        self.piece = piece
        self.loop_ms = loop_ms
        self.plain = plain
        self.relay_options = relay
        self.relay = None
        self.relay_port = None
        self.trace = trace
        self.ext_datagram = ext_datagram  # tailleTrameZX1=; None: the client's default
        # Every origin with a key: transfers authenticated and encrypted.
        self.keys = {o: secrets.token_hex(32) for o in self.origins} if keyed else {}
        self.log_read = {}  # how far each client's log has been read

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def _start(self):
        self._start_server()
        target = self.port
        if self.relay_options is not None:
            self._start_relay()
            target = self.relay_port
        for origin in self.origins:
            outbox = os.path.join(self.work, "outbox-" + origin)
            cfg = os.path.join(self.work, f"client-{origin}.cfg")
            with open(cfg, "w") as f:
                f.write(f"directoryFiles={outbox}\nvidangeDirFile={self.loop_ms}\n"
                        f"attendApresSnd=1000\nid_de_Lorigine={origin}\n"
                        f"ip_destadresse=127.0.0.1\nip_portadresse={target}\n"
                        f"ip_port_locals=0\npaquets_UdpMax={self.piece}\n"
                        f"Collecte_Trace={'O' if self.trace else 'N'}\n"
                        + ("offreExtension=N\n" if self.plain else "")
                        + (f"tailleTrameZX1={self.ext_datagram}\n" if self.ext_datagram else "")
                        + (f"fichier_Cles_C={self._secret(f'{origin}.key', self.keys[origin])}\n"
                           if self.keys else ""))
            self.clients.append(self._launch("Client_ZelkFiles", cfg, f"client-{origin}.log"))
            self.outboxes.append(outbox)
        wait_for(lambda: all(os.path.isdir(o) for o in self.outboxes), READY_SECONDS,
                 "the outboxes")
        # A first small file through every client proves both ends ready and warms them up.
        warms = []
        for index in range(len(self.outboxes)):
            warms.append((os.path.join(self.work, f"warm-{index:02d}.bin"), "warm.bin"))
            with open(warms[-1][0], "wb") as f:
                f.write(os.urandom(4096))
        self.transfer(warms, 60)

    def _start_server(self):
        # The port was free when it was chosen; someone may take it before the server binds it.
        for _ in range(5):
            cfg = os.path.join(self.work, "server.cfg")
            with open(cfg, "w") as f:
                lines = "".join(f"{k} {o}\n" for o, k in self.keys.items())
                f.write(f"receivePort_IP={self.port}\nreceivePortTCP=0\n"
                        f"directoryFiles={self.inbox}\nCollecte_Trace=N\n"
                        + (f"fichier_Cles_S={self._secret('server.keys', lines)}\n"
                           if self.keys else ""))
            self.server = self._launch("Serveur_ZelkFiles", cfg, "server.log")
            wait_for(lambda: udp_port_bound(self.port, self.server.pid) or not self.server.alive(),
                     READY_SECONDS, "the server's port")
            if self.server.alive():
                return
            self.port = free_port()
        raise BenchError("the server did not start (see server.log)")

    def _secret(self, name, text):
        """A key file only its owner may read, as the programs demand."""
        path = os.path.join(self.work, name)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(text if text.endswith("\n") else text + "\n")
        return path

    def _start_relay(self):
        log = os.path.join(self.work, "relay.log")
        # Its own lifetime only backs up the stop by pid; a transfer never comes near it.
        self.relay = Started([os.path.join(self.bindir, "zelk_relay"), "--server-port",
                              str(self.port), "--port", "0", "--lifetime", "86400"]
                             + self.relay_options, log)
        self.started.append(self.relay)

        def announced():
            with open(log, "rb") as f:
                return b"\n" in f.read() or not self.relay.alive()

        wait_for(announced, READY_SECONDS, "the relay's port")
        if not self.relay.alive():
            raise BenchError("zelk_relay did not start (see relay.log)")
        with open(log) as f:
            self.relay_port = int(f.readline())

    def stop_relay(self):
        """Stops the relay, which then prints its counts; gives that line."""
        self.relay.stop()
        with open(os.path.join(self.work, "relay.log")) as f:
            lines = [line.strip() for line in f if line.startswith("relay:")]
        if not lines:
            raise BenchError("zelk_relay printed no counts")
        return lines[-1]

    def went_extended(self, client_index, name):
        """Whether the client's trace says file `name` was sent by the extension."""
        return name in self.extended_names(client_index)

    def extended_names(self, client_index):
        """The files whose "file sent" line in the client's trace names the extension: an
        acceptance lost on the way leaves no "extended protocol" line for its file."""
        log = os.path.join(self.work, f"client-{self.origins[client_index]}.log")
        names = set()
        with open(log, errors="replace") as f:
            for line in f:
                if "file sent origin" in line and ", ZX1," in line:
                    names.add(line.split(' file "', 1)[1].split('", ', 1)[0])
        return names

    def _launch(self, program, cfg, log):
        exe = os.path.join(self.bindir, program)
        started = Started([exe, "--headless", "--config", cfg], os.path.join(self.work, log))
        self.started.append(started)
        return started

    def stop(self):
        for started in reversed(self.started):
            started.stop()
        self.started = []

    def cpu(self):
        return [proc_cpu_seconds(p.pid) for p in [self.server] + self.clients]

    def peak_rss(self):
        return [proc_peak_rss_mib(p.pid) for p in [self.server] + self.clients]

    def received(self, client_index, name):
        return os.path.join(self.inbox, self.origins[client_index], name)

    def delivered(self):
        """(outbox, name) of every file whose delivery a client's log records so far."""
        keys = []
        for index, origin in enumerate(self.origins):
            log = os.path.join(self.work, f"client-{origin}.log")
            with open(log, "rb") as f:
                f.seek(self.log_read.get(log, 0))
                text = f.read()
            # Whole lines only: the rest is read again next time.
            text = text[:text.rfind(b"\n") + 1]
            self.log_read[log] = self.log_read.get(log, 0) + len(text)
            for line in text.decode(errors="replace").splitlines():
                if f'file sent origin "{origin}" file "' in line and line.endswith(": delivered"):
                    name = line.split(' file "', 1)[1].split('", ', 1)[0]
                    keys.append((self.outboxes[index], name))
        return keys

    def transfer(self, items, seconds):
        """Links each (source, name) into the outbox of client i (the i-th item); times from the
        first file entering until the last is delivered: the client's record of it, or its
        deletion when that comes first. A file sent by the plain protocol stays in the outbox a
        while after, in case a stray frame shows that the server lost it; that wait is no part of
        the transfer."""
        watch = DeletionWatch(self.outboxes)
        try:
            awaited = []
            start = time.monotonic()
            for index, (source, name) in enumerate(items):
                outbox = self.outboxes[index % len(self.outboxes)]
                os.link(source, os.path.join(outbox, name))
                awaited.append((outbox, name))
            end = watch.wait(awaited, seconds, self.delivered)
            # Each file's own time, for rates per client.
            self.finished = [watch.deleted_at[key] - start for key in awaited]
        finally:
            watch.close()
        for started in [self.server] + self.clients:
            if not started.alive():
                raise BenchError(f"{started.argv[0]} ended during the transfer")
        return end - start


def zelk_one_file(bindir, work, source, size, piece):
    with ZelkRig(bindir, work, 1, piece, 1, plain=True) as rig:
        cpu0 = rig.cpu()
        seconds = rig.transfer([(source, "big.bin")], transfer_bound(size, 5))
        cpu1 = rig.cpu()
        rss = rig.peak_rss()
        received = rig.received(0, "big.bin")
        if not same_content(source, received):
            raise BenchError("ZelkFiles: the received file differs from the one sent")
        os.unlink(received)
    trips = pieces_of(size, piece) + 1
    return {
        "seconds": seconds,
        "MBps": size / seconds / 1e6,
        "rtps": trips / seconds,
        "server_cpu": cpu1[0] - cpu0[0],
        "client_cpu": cpu1[1] - cpu0[1],
        "server_rss": rss[0],
        "client_rss": rss[1],
    }


def zelk_small_files(bindir, work, count, size):
    sources = []
    for i in range(count):
        path = os.path.join(work, f"small-{i:05d}.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        sources.append(path)
    with ZelkRig(bindir, work, 1, 9999, 1, plain=True) as rig:
        cpu0 = rig.cpu()
        seconds = rig.transfer([(s, os.path.basename(s)) for s in sources], 60 + count * 0.1)
        cpu1 = rig.cpu()
        rss = rig.peak_rss()
        for s in sources:
            if not same_content(s, rig.received(0, os.path.basename(s))):
                raise BenchError("ZelkFiles: a small file arrived different")
    for s in sources:
        os.unlink(s)
    return {
        "seconds": seconds,
        "files_per_s": count / seconds,
        "server_cpu": cpu1[0] - cpu0[0],
        "client_cpu": cpu1[1] - cpu0[1],
        "server_rss": rss[0],
        "client_rss": rss[1],
    }


def zelk_many_clients(bindir, work, source, size, clients):
    # Each client gets a copy of its own: one file linked into every outbox would change (its
    # link count and ctime) whenever another client deleted its link, and be sent again.
    copies = []
    for i in range(clients):
        copies.append(os.path.join(work, f"shared-{i:02d}.bin"))
        shutil.copyfile(source, copies[-1])
    with ZelkRig(bindir, work, clients, 9999, 1, plain=True) as rig:
        cpu0 = rig.cpu()
        seconds = rig.transfer([(copy, "shared.bin") for copy in copies],
                               transfer_bound(size * clients, 2))
        cpu1 = rig.cpu()
        rss = rig.peak_rss()
        for i in range(clients):
            if not same_content(source, rig.received(i, "shared.bin")):
                raise BenchError("ZelkFiles: a file from one of the clients arrived different")
            os.unlink(rig.received(i, "shared.bin"))
    return {
        "seconds": seconds,
        "MBps": size * clients / seconds / 1e6,
        "server_cpu": cpu1[0] - cpu0[0],
        "server_cpu_share": (cpu1[0] - cpu0[0]) / seconds,
        "clients_cpu": sum(cpu1[1:]) - sum(cpu0[1:]),
        "server_rss": rss[0],
        "client_rss_max": max(rss[1:]),
    }


# --- The extension beside the plain protocol ---------------------------------------------------


def zelk_protocol_case(bindir, work, source, size, piece, plain, relay=None, slowest_mbps=5,
                       ext_datagram=None, keyed=False):
    """One file by one protocol, on loopback or through the relay; the client's trace proves which
    protocol the file went by, so that a server or client that falls back cannot pass unnoticed."""
    with ZelkRig(bindir, work, 1, piece, 1, plain=plain, relay=relay, trace=True,
                 ext_datagram=ext_datagram, keyed=keyed) as rig:
        cpu0 = rig.cpu()
        seconds = rig.transfer([(source, "big.bin")], transfer_bound(size, slowest_mbps))
        cpu1 = rig.cpu()
        rss = rig.peak_rss()
        counts = rig.stop_relay() if relay is not None else None
        if rig.went_extended(0, "big.bin") == plain:
            raise BenchError("the file went by the " + ("extension" if plain else "plain protocol")
                             + " (see the client's log)")
        received = rig.received(0, "big.bin")
        if not same_content(source, received):
            raise BenchError("ZelkFiles: the received file differs from the one sent")
        os.unlink(received)
    return {
        "protocol": "plain" if plain else ("ZX1 keyed" if keyed else "ZX1"),
        "size": size,
        "seconds": seconds,
        "MBps": size / seconds / 1e6,
        "server_cpu": cpu1[0] - cpu0[0],
        "client_cpu": cpu1[1] - cpu0[1],
        "server_rss": rss[0],
        "client_rss": rss[1],
        "relay": counts,
    }


def relay_path(loss):
    """zelk_relay's options for a 50 ms round trip losing `loss` each way, seeded for replay."""
    return ["--owd", "25", "--loss", str(loss), "--seed", "7"]


def extension_section(bindir, work, args):
    """Loopback first (one large file, both protocols, both piece sizes), then the relay's 50 ms
    path, where the plain protocol gets a smaller file: it moves one piece per round trip."""
    cases = []

    def measure(label, source, size, piece, plain, relay=None, slowest_mbps=5, same_body=True):
        # The extension's datagram is the piece plus its 22-byte head, so that "block" means the
        # same bytes of file per datagram for both protocols; same_body=False keeps the client's
        # default datagram (1452 bytes: 1430 of file).
        datagram = piece + 22 if same_body and not plain else None
        scratch = tempfile.mkdtemp(dir=work)
        try:
            r = zelk_protocol_case(bindir, scratch, source, size, piece, plain, relay,
                                   slowest_mbps, datagram)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        r.update(path=label, piece=piece if plain or same_body else 1430)
        cases.append(r)
        print(f"extension beside plain, {label}, block {piece}, {r['protocol']}: "
              f"{size / MIB:g} MiB in {r['seconds']:.2f} s, {r['MBps']:.2f} MB/s, CPU server "
              f"{r['server_cpu']:.2f} s client {r['client_cpu']:.2f} s, peak RSS server "
              f"{r['server_rss']:.1f} MiB client {r['client_rss']:.1f} MiB"
              + (f"\n  {r['relay']}" if r["relay"] else ""), flush=True)

    size = args.ext_loop_mib * MIB
    source = os.path.join(work, "ext-loop.bin")
    make_source(source, size)
    for piece in (9999, 1428):
        for plain in (False, True):
            measure("loopback", source, size, piece, plain)
    measure("loopback, default datagram", source, size, 9999, False, same_body=False)
    os.unlink(source)

    sizes = {False: args.ext_relay_mib * MIB, True: args.plain_relay_mib * MIB}
    sources = {}
    for plain, size in sizes.items():
        if size:
            sources[plain] = os.path.join(work, f"relay-{'plain' if plain else 'ext'}.bin")
            make_source(sources[plain], size)
    for loss in args.relay_loss:
        label = f"relay 50 ms, loss {100 * loss:g} % each way"
        for plain in (False, True):
            if plain in sources:
                # The plain protocol manages about 0.2 MB/s on this path, less under loss.
                # The extension with its default datagram, as on a real path.
                measure(label, sources[plain], sizes[plain], 9999, plain, relay_path(loss),
                        0.02 if plain else 0.2, same_body=False)
    for source in sources.values():
        os.unlink(source)
    return cases


# --- The benchmark set: a 100 Mbit/s path, loss, faults, ten clients, loopback, CPU per datagram ---

LINK_MBIT = 100
LINK_BYTES_PER_S = LINK_MBIT * 1e6 / 8
LINK_RTT_MS = 50
# One bandwidth-delay product: 12.5 MB/s times 50 ms.
LINK_QUEUE = int(LINK_BYTES_PER_S * LINK_RTT_MS / 1000)


def link_path(loss=0.0, faults=()):
    """zelk_relay's options for the 100 Mbit/s, 50 ms path, shared by every client of the relay."""
    return ["--owd", str(LINK_RTT_MS / 2), "--rate-mbit", str(LINK_MBIT), "--queue",
            str(LINK_QUEUE), "--loss", str(loss), "--seed", "7"] + list(faults)


def jain(rates):
    return sum(rates) ** 2 / (len(rates) * sum(r * r for r in rates))


def mixed_sizes(count):
    """Sizes from 1 byte to 2 MiB, most of them small, the same in every run."""
    import random
    draw = random.Random(12)
    return [max(1, int(2 ** draw.uniform(0, 21))) for _ in range(count)]


def set_one_file(bindir, work, size, plain, relay, slowest_mbps, keyed=False):
    source = os.path.join(work, "one.bin")
    make_source(source, size)
    scratch = tempfile.mkdtemp(dir=work)
    try:
        return zelk_protocol_case(bindir, scratch, source, size, 9999, plain, relay,
                                  slowest_mbps, keyed=keyed)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        os.unlink(source)


def set_many_files(bindir, work, count, relay):
    """Path C: every file must arrive byte-identical; a file the client deleted with a copy that
    differs or is missing fails the run."""
    sources = []
    for i, size in enumerate(mixed_sizes(count)):
        sources.append(os.path.join(work, f"mixed-{i:04d}.bin"))
        with open(sources[-1], "wb") as f:
            f.write(os.urandom(size))
    total = sum(os.path.getsize(p) for p in sources)
    with ZelkRig(bindir, work, 1, 9999, 1, relay=relay, trace=True) as rig:
        cpu0 = rig.cpu()
        seconds = rig.transfer([(p, os.path.basename(p)) for p in sources], 900)
        cpu1 = rig.cpu()
        counts = rig.stop_relay()
        extended = len(rig.extended_names(0) & {os.path.basename(p) for p in sources})
        differ = [p for p in sources if not os.path.exists(rig.received(0, os.path.basename(p)))
                  or not same_content(p, rig.received(0, os.path.basename(p)))]
    if differ:
        raise BenchError(f"path C: {len(differ)} file(s) deleted without a same copy, "
                         f"first {differ[0]}")
    for p in sources:
        os.unlink(p)
    return {"files": count, "bytes": total, "seconds": seconds, "MBps": total / seconds / 1e6,
            "extended": extended, "server_cpu": cpu1[0] - cpu0[0],
            "client_cpu": cpu1[1] - cpu0[1], "relay": counts}


def set_clients(bindir, work, clients, size, relay):
    """Ten clients, each its own file, through the one relay and so through one bottleneck."""
    source = os.path.join(work, "client.bin")
    make_source(source, size)
    copies = []
    for i in range(clients):
        copies.append(os.path.join(work, f"client-{i:02d}.bin"))
        shutil.copyfile(source, copies[-1])
    with ZelkRig(bindir, work, clients, 9999, 1, relay=relay, trace=True) as rig:
        seconds = rig.transfer([(c, "share.bin") for c in copies],
                               transfer_bound(size * clients, 0.5))
        finished = rig.finished
        rss = rig.peak_rss()
        counts = rig.stop_relay()
        for i in range(clients):
            if not rig.went_extended(i, "share.bin"):
                raise BenchError("ten clients: a file went by the plain protocol")
            if not same_content(source, rig.received(i, "share.bin")):
                raise BenchError("ten clients: a file arrived different")
    rates = [size / t for t in finished]
    return {"clients": clients, "size": size, "seconds": seconds,
            "MBps": size * clients / seconds / 1e6, "rates": [r / 1e6 for r in rates],
            "jain": jain(rates), "server_rss": rss[0], "client_rss_max": max(rss[1:]),
            "relay": counts}


def uftp_one_file(work, source, size):
    """Debian's uftp sending to its uftpd on loopback, unicast, as fast as it goes."""
    dest = os.path.join(work, "uftp-in")
    os.makedirs(dest)
    port = free_port()
    daemon = Started([UFTPD, "-d", "-q", "-D", dest, "-p", str(port), "-I", "lo", "-B",
                      str(4 << 20)], os.path.join(work, "uftpd.log"))
    try:
        wait_for(lambda: udp_port_bound(port, daemon.pid) or not daemon.alive(), READY_SECONDS,
                 "uftpd's port")
        start = time.monotonic()
        sender = subprocess.Popen([UFTP, "-M", "127.0.0.1", "-p", str(port), "-I", "lo", "-R",
                                   "-1", "-B", str(4 << 20), "-q", source],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL)
        rusage = wait_exit(sender, transfer_bound(size, 2))
        seconds = time.monotonic() - start
        if rusage is None:
            os.kill(sender.pid, signal.SIGKILL)
            sender.wait()
            raise BenchError("uftp took too long")
        server_cpu = proc_cpu_seconds(daemon.pid)
        server_rss = proc_peak_rss_mib(daemon.pid)
    finally:
        daemon.stop()
    received = os.path.join(dest, os.path.basename(source))
    if sender.returncode != 0 or not same_content(source, received):
        raise BenchError("uftp: the transfer failed or the file arrived different")
    os.unlink(received)
    return {"protocol": "uftp", "size": size, "seconds": seconds, "MBps": size / seconds / 1e6,
            "server_cpu": server_cpu, "client_cpu": rusage.ru_utime + rusage.ru_stime,
            "server_rss": server_rss, "client_rss": rusage.ru_maxrss / 1024}


def set_loopback(bindir, work, size):
    source = os.path.join(work, "loop.bin")
    make_source(source, size)
    runs = []
    try:
        # The extension with keys beside it: the cost of authenticating and encrypting.
        for plain, keyed in ((False, False), (True, False), (False, True)):
            scratch = tempfile.mkdtemp(dir=work)
            try:
                runs.append(zelk_protocol_case(bindir, scratch, source, size, 9999, plain,
                                               keyed=keyed))
            finally:
                shutil.rmtree(scratch, ignore_errors=True)
        if UFTP and UFTPD:
            scratch = tempfile.mkdtemp(dir=work)
            try:
                runs.append(uftp_one_file(scratch, source, size))
            finally:
                shutil.rmtree(scratch, ignore_errors=True)
        else:
            print("uftp skipped: needs uftp and uftpd (bench/run installs them)", flush=True)
    finally:
        os.unlink(source)
    return runs


def set_cpu_per_datagram(bindir, work, size, rounds):
    """The plain server beside in.tftpd, interleaved: CPU seconds per datagram received."""
    source = os.path.join(work, "cpu.bin")
    make_source(source, size)
    peer = TFTPD is not None and CURL is not None and os.geteuid() == 0
    by = {}
    try:
        for block in (1428, 9999):
            by[block] = {"zelk": [], "tftp": []}
            for round_index in range(rounds):
                order = ["zelk", "tftp"] if round_index % 2 == 0 else ["tftp", "zelk"]
                for contender in order:
                    if contender == "tftp" and not peer:
                        continue
                    scratch = tempfile.mkdtemp(dir=work)
                    try:
                        if contender == "zelk":
                            r = zelk_one_file(bindir, scratch, source, size, block)
                        else:
                            r = tftp_one_file(scratch, source, size, block)
                    finally:
                        shutil.rmtree(scratch, ignore_errors=True)
                    datagrams = pieces_of(size, block) + (1 if contender == "zelk" else 2)
                    by[block][contender].append(r["server_cpu"] / datagrams)
    finally:
        os.unlink(source)
    return by


def set_section(bindir, work, args):
    """The issue's benchmark set, in one run, each case beside its comparison."""
    out = {}
    mib = MIB

    def note(name, value):
        out[name] = value
        print(f"set, {name}:", {k: (round(v, 3) if isinstance(v, float) else v)
                                for k, v in (value.items() if isinstance(value, dict) else
                                             [("runs", value)])}, flush=True)

    note("A ZX1", set_one_file(bindir, work, args.set_mib * mib, False, link_path(), 1))
    # With keys: what authenticating and encrypting cost where the link, not the CPU, decides.
    note("A ZX1 keyed", set_one_file(bindir, work, args.set_mib * mib, False, link_path(), 1,
                                     keyed=True))
    if args.set_plain_mib:
        note("A plain", set_one_file(bindir, work, args.set_plain_mib * mib, True, link_path(),
                                     0.02))
    note("B ZX1", set_one_file(bindir, work, args.set_mib * mib, False, link_path(0.01), 1))
    if args.set_plain_mib:
        note("B plain", set_one_file(bindir, work, args.set_plain_mib * mib // 2, True,
                                     link_path(0.01), 0.01))
    faults = ["--dup", "0.01", "--reorder", "0.01:20"]
    note("C", set_many_files(bindir, tempfile.mkdtemp(dir=work), args.set_files,
                             link_path(0.01, faults)))
    note("clients", set_clients(bindir, tempfile.mkdtemp(dir=work), args.set_clients,
                                args.set_client_mib * mib, link_path()))
    note("loopback", set_loopback(bindir, work, args.set_loop_mib * mib))
    note("cpu", set_cpu_per_datagram(bindir, work, args.set_cpu_mib * mib, args.set_cpu_rounds))
    return out


def keys_section(bindir, work, size, rounds):
    """The extension with keys beside itself without, on loopback, interleaved: there both
    programs are bound by the processor and one run differs from the next by a quarter."""
    source = os.path.join(work, "keys.bin")
    make_source(source, size)
    runs = {"ZX1": [], "ZX1 keyed": []}
    try:
        for round_index in range(rounds):
            order = (False, True) if round_index % 2 == 0 else (True, False)
            for keyed in order:
                scratch = tempfile.mkdtemp(dir=work)
                try:
                    r = zelk_protocol_case(bindir, scratch, source, size, 9999, False, keyed=keyed)
                finally:
                    shutil.rmtree(scratch, ignore_errors=True)
                runs[r["protocol"]].append(r)
                print(f"keys, round {round_index + 1}, {r['protocol']}: {r['MBps']:.1f} MB/s, CPU "
                      f"server {r['server_cpu']:.2f} s client {r['client_cpu']:.2f} s", flush=True)
    finally:
        os.unlink(source)
    return {"size": size, "rounds": rounds, "runs": runs}


def report_keys(k):
    plain = median(k["runs"]["ZX1"], "MBps")
    keyed = median(k["runs"]["ZX1 keyed"], "MBps")
    lines = [f"Loopback, one file of {k['size'] / MIB:g} MiB, {k['rounds']} interleaved rounds:", "",
             "| Round | ZX1 MB/s | ZX1 keyed MB/s | server CPU s (ZX1, keyed) | "
             "client CPU s (ZX1, keyed) |", "|---|---|---|---|---|"]
    for i, (a, b) in enumerate(zip(k["runs"]["ZX1"], k["runs"]["ZX1 keyed"])):
        lines.append(f"| {i + 1} | {a['MBps']:.1f} | {b['MBps']:.1f} | {a['server_cpu']:.2f}, "
                     f"{b['server_cpu']:.2f} | {a['client_cpu']:.2f}, {b['client_cpu']:.2f} |")
    slower = 100 * (1 - keyed / plain)
    lines += ["", f"- medians: ZX1 {plain:.1f} MB/s, ZX1 keyed {keyed:.1f} MB/s: keys "
              f"{slower:.1f} % slower; target at most 20 %: {'met' if slower <= 20 else 'NOT met'}"]
    return lines


def report_set(r):
    link = LINK_BYTES_PER_S / 1e6
    lines = [f"The benchmark set: a path of {LINK_MBIT} Mbit/s ({link:g} MB/s, IP and UDP heads "
             f"counted), {LINK_RTT_MS} ms round trip, a drop-tail queue of {LINK_QUEUE} bytes "
             "(one bandwidth-delay product), through zelk_relay; then loopback.", "",
             "| Case | Protocol | File MiB | MB/s | share of link | wall s |", "|---|---|---|---|---|---|"]
    for name, label in (("A ZX1", "A: no loss"), ("A ZX1 keyed", "A: no loss"),
                        ("A plain", "A: no loss"),
                        ("B ZX1", "B: 1 % loss each way"), ("B plain", "B: 1 % loss each way")):
        if name in r:
            c = r[name]
            lines.append(f"| {label} | {c['protocol']} | {c['size'] / MIB:g} | {c['MBps']:.2f} | "
                         f"{100 * c['MBps'] / link:.1f} % | {c['seconds']:.1f} |")
    lines.append("")
    a, b = r["A ZX1"], r["B ZX1"]
    lines.append(f"- target A, extended at least 90 % of the link: "
                 f"{'met' if a['MBps'] >= 0.9 * link else 'NOT met'} ({100 * a['MBps'] / link:.1f} %)")
    lines.append(f"- target B, extended at least 70 % of the link: "
                 f"{'met' if b['MBps'] >= 0.7 * link else 'NOT met'} ({100 * b['MBps'] / link:.1f} %)")
    c = r["C"]
    lines.append(f"- C (1 % loss, 1 % copies, 1 % reordered by up to 20 ms each way): {c['files']} "
                 f"files, {c['bytes'] / MIB:.1f} MiB, in {c['seconds']:.1f} s, {c['extended']} by "
                 f"the extension; every file byte-identical, none deleted without its copy: met")
    k = r["clients"]
    lines.append(f"- {k['clients']} clients, {k['size'] / MIB:g} MiB each, one bottleneck: "
                 f"{k['MBps']:.2f} MB/s together ({100 * k['MBps'] / link:.1f} % of the link, "
                 f"target 85 %: {'met' if k['MBps'] >= 0.85 * link else 'NOT met'}); Jain's index "
                 f"{k['jain']:.3f} (target 0.9: {'met' if k['jain'] >= 0.9 else 'NOT met'}); "
                 f"rates MB/s {' '.join(f'{x:.2f}' for x in k['rates'])}")
    for name in ("A ZX1", "A ZX1 keyed", "A plain", "B ZX1", "B plain", "C", "clients"):
        if name in r:
            lines.append(f"- relay, {name}: `{r[name]['relay']}`")
    lines += ["", "| Loopback, one file | MiB | MB/s | wall s | server CPU s | client CPU s | "
              "server peak RSS MiB | client peak RSS MiB |", "|---|---|---|---|---|---|---|---|"]
    loop = {c["protocol"]: c for c in r["loopback"]}
    for c in r["loopback"]:
        lines.append(f"| {c['protocol']} | {c['size'] / MIB:g} | {c['MBps']:.1f} | "
                     f"{c['seconds']:.2f} | {c['server_cpu']:.2f} | {c['client_cpu']:.2f} | "
                     f"{c['server_rss']:.1f} | {c['client_rss']:.1f} |")
    ratio = loop["ZX1"]["MBps"] / loop["plain"]["MBps"]
    keyed = loop["ZX1 keyed"]["MBps"] / loop["ZX1"]["MBps"]
    peak = max(max(c["server_rss"], c["client_rss"]) for c in r["loopback"])
    lines += ["", f"- target extended at least twice plain on loopback: "
              f"{'met' if ratio >= 2 else 'NOT met'} ({ratio:.2f} times)",
              f"- target keyed extension (authenticated, encrypted) at most 20 % slower than the "
              f"extension without keys: {'met' if keyed >= 0.8 else 'NOT met'} "
              f"({100 * (1 - keyed):.1f} % slower)",
              f"- target peak RSS of each program under 64 MiB: "
              f"{'met' if peak < 64 else 'NOT met'} (largest {peak:.1f} MiB)"]
    for block, by in r["cpu"].items():
        z = median([{"v": v} for v in by["zelk"]], "v")
        t = median([{"v": v} for v in by["tftp"]], "v") if by["tftp"] else float("nan")
        lines.append(f"- CPU per datagram received, block {block}: plain server {1e6 * z:.1f} µs, "
                     f"in.tftpd {1e6 * t:.1f} µs (medians of {len(by['zelk'])}); target no more "
                     f"than in.tftpd: {'met' if z <= t else 'NOT met'}")
    return lines


# --- The TFTP peer -----------------------------------------------------------------------------


def wait_exit(proc, seconds):
    """Waits for a child without polling; its exit status and resource use, or None on time-out."""
    fd = os.pidfd_open(proc.pid)
    try:
        ready, _, _ = select.select([fd], [], [], seconds)
    finally:
        os.close(fd)
    if not ready:
        return None
    _, status, rusage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return rusage


def tftp_one_file(work, source, size, block):
    root = os.path.join(work, "tftproot")
    os.makedirs(root, exist_ok=True)
    os.chmod(root, 0o777)  # the daemon writes as an unprivileged user inside its chroot
    port = free_port()
    daemon = Started([TFTPD, "-L", "-s", "-c", "-p", "-a", f"127.0.0.1:{port}", root],
                     os.path.join(work, "tftpd.log"))
    children = []
    try:
        wait_for(lambda: udp_port_bound(port, daemon.pid) or not daemon.alive(), READY_SECONDS,
                 "in.tftpd's port")
        if not daemon.alive():
            raise BenchError("in.tftpd did not start (see tftpd.log)")
        start = time.monotonic()
        curl = subprocess.Popen([CURL, "-sS", "--tftp-blksize", str(block), "-T", source,
                                 f"tftp://127.0.0.1:{port}/big.bin"],
                                stdin=subprocess.DEVNULL)
        rusage = wait_exit(curl, transfer_bound(size, 2))
        seconds = time.monotonic() - start
        if rusage is None:
            os.kill(curl.pid, signal.SIGKILL)
            curl.wait()
            raise BenchError("curl's TFTP upload took too long")
        if curl.returncode != 0:
            raise BenchError(f"curl's TFTP upload failed with status {curl.returncode}")
        # The daemon serves each transfer from a child of its own, which lingers a while after
        # the last block: its figures are read while it is still there.
        children = proc_children(daemon.pid)
        server_cpu = sum(proc_cpu_seconds(c) for c in children)
        server_rss = max((proc_peak_rss_mib(c) for c in children), default=float("nan"))
    finally:
        for child in children:
            try:
                os.kill(int(child), signal.SIGKILL)
            except ProcessLookupError:
                pass
        daemon.stop()
    received = os.path.join(root, "big.bin")
    if not same_content(source, received):
        raise BenchError("TFTP: the received file differs from the one sent")
    os.unlink(received)
    return {
        "seconds": seconds,
        "MBps": size / seconds / 1e6,
        "rtps": (pieces_of(size, block) + 2) / seconds,
        "server_cpu": server_cpu,
        "client_cpu": rusage.ru_utime + rusage.ru_stime,
        "server_rss": server_rss,
        "client_rss": rusage.ru_maxrss / 1024,
    }


# --- The bare limit ----------------------------------------------------------------------------


def bare_limit(bindir, size, piece, work=None):
    """The bare loop; with `work` (source, destination) it also polls and reads and writes the
    pieces, the least that any file transfer does per datagram."""
    trips = pieces_of(size, piece)
    frame = piece + 12 + len(str(piece))
    argv = [os.path.join(bindir, "zelk_limit"), "--count", str(trips), "--datagram", str(frame),
            "--answer", "12", "--payload", str(piece)]
    if work:
        argv += ["--work", work[0], work[1]]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=transfer_bound(size, 5),
                         check=True).stdout
    values = dict(kv.split("=") for kv in out.split())
    return {"seconds": float(values["seconds"]), "MBps": float(values["MB_per_s"]),
            "rtps": float(values["round_trips_per_s"]), "frame": frame}


# --- Helpers -----------------------------------------------------------------------------------


def pieces_of(size, piece):
    return (size + piece - 1) // piece


def transfer_bound(size, slowest_mbps):
    """A generous bound on a transfer that runs at no less than `slowest_mbps` MB/s."""
    return 60 + size / (slowest_mbps * 1e6)


def paired(by, other, key):
    """ZelkFiles against another contender round by round (each pair ran under the same drift of
    the machine), and the median of those ratios."""
    ratios = [z[key] / o[key] for z, o in zip(by["zelk"], by[other])]
    return ratios, statistics.median(ratios)


def median(runs, key):
    values = [r[key] for r in runs if key in r]
    return statistics.median(values) if values else float("nan")


def machine():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "load": os.getloadavg()}


def find_tool(name, extra_dirs=("/usr/sbin", "/sbin")):
    found = shutil.which(name)
    if found:
        return found
    for d in extra_dirs:
        if os.access(os.path.join(d, name), os.X_OK):
            return os.path.join(d, name)
    return None


TFTPD = find_tool("in.tftpd")
CURL = find_tool("curl")
UFTPD = find_tool("uftpd")
UFTP = find_tool("uftp")


# --- The run -----------------------------------------------------------------------------------


def run(args):
    bindir = os.path.abspath(args.bin)
    for program in ("Serveur_ZelkFiles", "Client_ZelkFiles", "zelk_limit", "zelk_relay"):
        if not os.access(os.path.join(bindir, program), os.X_OK):
            raise BenchError(f"{program} is not built in {bindir}")
    results = {"machine": machine()}
    if args.many:
        return manyfiles.run(sys.modules[__name__], bindir, args, results)
    if args.medium:
        return mediumfiles.run(sys.modules[__name__], bindir, args, results)
    if not args.extension and not args.set and not args.keys:
        run_plain(bindir, args, results)
    work = tempfile.mkdtemp(prefix="zelkbench.")
    try:
        if not args.set and not args.keys:
            results["extension"] = extension_section(bindir, work, args)
        if args.keys:
            results["keys"] = keys_section(bindir, work, args.set_loop_mib * MIB,
                                           args.keys_rounds)
        elif not args.extension:
            results["set"] = set_section(bindir, work, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    results["machine"]["load_after"] = os.getloadavg()
    return results


def run_plain(bindir, args, results):
    """The plain protocol beside the TFTP peer and the bare limit, then its other measures."""
    peer = TFTPD is not None and CURL is not None and os.geteuid() == 0
    if not peer:
        print("TFTP peer skipped: needs in.tftpd and curl (bench/run installs them) and root",
              flush=True)
    size = args.size_mib * MIB
    work = tempfile.mkdtemp(prefix="zelkbench.")
    results.update(size=size, rounds=args.rounds, blocks={})
    try:
        source = os.path.join(work, "source.bin")
        make_source(source, size)
        blocks = (9999, 1428)
        contenders = ["zelk", "limit", "work"] + (["tftp"] if peer else [])
        for block in blocks:
            results["blocks"][block] = {c: [] for c in contenders}
        for round_index in range(args.rounds):
            # Each round turns the order so that no contender always runs first.
            for block in blocks:
                shift = round_index % len(contenders)
                order = contenders[shift:] + contenders[:shift]
                for contender in order:
                    scratch = tempfile.mkdtemp(dir=work)
                    if contender == "zelk":
                        r = zelk_one_file(bindir, scratch, source, size, block)
                    elif contender == "tftp":
                        r = tftp_one_file(scratch, source, size, block)
                    elif contender == "work":
                        r = bare_limit(bindir, size, block,
                                       (source, os.path.join(scratch, "work.out")))
                    else:
                        r = bare_limit(bindir, size, block)
                    shutil.rmtree(scratch, ignore_errors=True)
                    results["blocks"][block][contender].append(r)
                    print(f"round {round_index + 1} block {block} {contender}: "
                          + ", ".join(f"{k}={v:.3f}" if isinstance(v, float) else f"{k}={v}"
                                      for k, v in r.items()), flush=True)
        scratch = tempfile.mkdtemp(dir=work)
        results["small"] = zelk_small_files(bindir, scratch, args.small_files, 1024)
        shutil.rmtree(scratch, ignore_errors=True)
        print("small files:", results["small"], flush=True)
        os.unlink(source)
        clients_size = args.clients_mib * MIB
        source = os.path.join(work, "shared.bin")
        make_source(source, clients_size)
        scratch = tempfile.mkdtemp(dir=work)
        results["clients"] = zelk_many_clients(bindir, scratch, source, clients_size,
                                               args.clients)
        shutil.rmtree(scratch, ignore_errors=True)
        os.unlink(source)
        print("ten clients:", results["clients"], flush=True)
        if args.large_mib:
            source = os.path.join(work, "large.bin")
            make_source(source, args.large_mib * MIB)
            scratch = tempfile.mkdtemp(dir=work)
            results["large"] = zelk_one_file(bindir, scratch, source, args.large_mib * MIB, 9999)
            results["large"]["size_mib"] = args.large_mib
            shutil.rmtree(scratch, ignore_errors=True)
            os.unlink(source)
            print("large file:", results["large"], flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(results, args):
    m = results["machine"]
    lines = [f"Machine: {m['nproc']} cores, {m['cpu']}, kernel {m['kernel']}; load average "
             f"{m['load'][0]:.2f} before, {m['load_after'][0]:.2f} after."]
    if "blocks" in results:
        lines.append("")
        lines.extend(report_plain(results, args))
    if "extension" in results:
        lines.append("")
        lines.extend(report_extension(results["extension"]))
    if "set" in results:
        lines.append("")
        lines.extend(report_set(results["set"]))
    if "keys" in results:
        lines.append("")
        lines.extend(report_keys(results["keys"]))
    if "many" in results:
        lines += [""] + manyfiles.report(results["many"])
    if "medium" in results:
        lines += [""] + mediumfiles.report(results["medium"], sys.modules[__name__])
    return "\n".join(lines)


def report_extension(cases):
    lines = ["Extension beside plain: one file each, one measurement each.", "",
             "| Path | Block | Protocol | File MiB | MB/s | wall s | server CPU s | client CPU s "
             "| server peak RSS MiB | client peak RSS MiB |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for c in cases:
        lines.append(f"| {c['path']} | {c['piece']} | {c['protocol']} | {c['size'] / MIB:g} | "
                     f"{c['MBps']:.2f} | {c['seconds']:.2f} | {c['server_cpu']:.2f} | "
                     f"{c['client_cpu']:.2f} | {c['server_rss']:.1f} | {c['client_rss']:.1f} |")
    lines.append("")
    for c in cases:
        if c["relay"]:
            lines.append(f"- {c['path']}, {c['protocol']}: `{c['relay']}`")
    return lines


def report_plain(results, args):
    lines = []
    lines.append(f"One file of {results['size'] // MIB} MiB, medians of {results['rounds']} "
                 "interleaved rounds.")
    lines.append("")
    lines.append("| Block | Contender | MB/s | round trips/s | wall s | server CPU s | client CPU s "
                 "| server peak RSS MiB | client peak RSS MiB |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    names = {"zelk": "ZelkFiles", "tftp": "TFTP (in.tftpd + curl)", "limit": "bare limit",
             "work": "bare loop + poll + file work"}
    ratios = []
    for block, by in results["blocks"].items():
        for contender in ("zelk", "tftp", "limit", "work"):
            runs = by.get(contender)
            if not runs:
                continue
            label = names[contender]
            if contender in ("limit", "work"):
                label += f" ({runs[0]['frame']} B + 12 B)"

            def cell(key, fmt="{:.2f}"):
                value = median(runs, key)
                return "-" if value != value else fmt.format(value)

            lines.append(f"| {block} | {label} | {cell('MBps', '{:.1f}')} | "
                         f"{cell('rtps', '{:.0f}')} | {cell('seconds')} | "
                         f"{cell('server_cpu')} | {cell('client_cpu')} | "
                         f"{cell('server_rss', '{:.1f}')} | {cell('client_rss', '{:.1f}')} |")
        for other, what in (("tftp", "TFTP"), ("limit", "bare limit"),
                            ("work", "bare loop with the file work")):
            if not by.get(other):
                continue
            rounds, middle = paired(by, other, "rtps")
            ratios.append(f"block {block}: ZelkFiles / {what}, round trips/s: median of the "
                          f"rounds {middle:.2f} (rounds: {' '.join(f'{r:.2f}' for r in rounds)}; "
                          "ratio of the medians "
                          f"{median(by['zelk'], 'rtps') / median(by[other], 'rtps'):.2f})")
    lines.append("")
    lines.extend("- " + r for r in ratios)
    lines.extend("- " + t for t in targets(results))
    s = results["small"]
    lines.append(f"- {args.small_files} files of 1 KiB, loop interval 1 ms: "
                 f"{s['files_per_s']:.0f} files/s ({s['seconds']:.2f} s; server CPU "
                 f"{s['server_cpu']:.2f} s, client CPU {s['client_cpu']:.2f} s)")
    c = results["clients"]
    lines.append(f"- {args.clients} clients at once, {args.clients_mib} MiB each, block 9999: "
                 f"{c['MBps']:.1f} MB/s in all ({c['seconds']:.2f} s); server CPU "
                 f"{c['server_cpu']:.2f} s ({100 * c['server_cpu_share']:.0f} % of one core), "
                 f"clients {c['clients_cpu']:.2f} s; peak RSS server {c['server_rss']:.1f} MiB, "
                 f"largest client {c['client_rss_max']:.1f} MiB")
    if "large" in results:
        g = results["large"]
        lines.append(f"- One {g['size_mib']} MiB file, block 9999: {g['MBps']:.1f} MB/s; peak "
                     f"RSS server {g['server_rss']:.1f} MiB, client {g['client_rss']:.1f} MiB")
    return lines


def targets(results):
    """The goals, each with its figure from this run."""
    said = []
    for block, by in results["blocks"].items():
        if by.get("tftp"):
            ratio = paired(by, "tftp", "rtps")[1]
            said.append(f"target at least as fast as TFTP, block {block}: "
                        f"{'met' if ratio >= 1 else 'NOT met'} ({ratio:.2f})")
        ratio = paired(by, "limit", "rtps")[1]
        said.append(f"target 75 % of the bare limit, block {block}: "
                    f"{'met' if ratio >= 0.75 else 'NOT met'} ({100 * ratio:.0f} %)")
    runs = [r for by in results["blocks"].values() for r in by["zelk"]]
    runs += [results[k] for k in ("small", "large") if k in results]
    peak = max(max(r["server_rss"], r["client_rss"]) for r in runs)
    peak = max(peak, results["clients"]["server_rss"], results["clients"]["client_rss_max"])
    said.append(f"target peak RSS of each program under 64 MiB: "
                f"{'met' if peak < 64 else 'NOT met'} (largest {peak:.1f} MiB)")
    return said


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder holding the built programs")
    parser.add_argument("--quick", action="store_true", help="small sizes: a smoke test")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--size-mib", type=int)
    parser.add_argument("--small-files", type=int)
    parser.add_argument("--clients", type=int, default=10)
    parser.add_argument("--clients-mib", type=int)
    parser.add_argument("--large-mib", type=int, help="one more file this large (0: none)")
    parser.add_argument("--extension", action="store_true",
                        help="only the extension beside the plain protocol")
    parser.add_argument("--ext-loop-mib", type=int, help="the file on loopback, both protocols")
    parser.add_argument("--ext-relay-mib", type=int,
                        help="the extension's file through the relay")
    parser.add_argument("--plain-relay-mib", type=int,
                        help="the plain protocol's file through the relay (0: none)")
    parser.add_argument("--relay-loss", type=float, nargs="+",
                        help="the relay's loss each way, one pair of measures per value")
    parser.add_argument("--set", action="store_true",
                        help="only the benchmark set (the 100 Mbit/s paths, ten clients, "
                        "loopback beside plain and uftp, CPU per datagram beside in.tftpd)")
    parser.add_argument("--keys", action="store_true",
                        help="only the cost of keys: the extension with and without them on "
                        "loopback, interleaved rounds of --set-loop-mib")
    parser.add_argument("--keys-rounds", type=int, help="the cost of keys: rounds")
    parser.add_argument("--set-mib", type=int, help="paths A and B: the extension's file")
    parser.add_argument("--set-plain-mib", type=int,
                        help="paths A and B: the plain protocol's file (halved on B; 0: none)")
    parser.add_argument("--set-files", type=int, help="path C: how many files")
    parser.add_argument("--set-clients", type=int, help="clients sharing the bottleneck")
    parser.add_argument("--set-client-mib", type=int, help="each client's file")
    parser.add_argument("--set-loop-mib", type=int, help="loopback: the file")
    parser.add_argument("--set-cpu-mib", type=int, help="CPU per datagram: the file")
    parser.add_argument("--set-cpu-rounds", type=int, help="CPU per datagram: rounds")
    manyfiles.add_options(parser)
    mediumfiles.add_options(parser)
    parser.add_argument("--json", help="also write the raw figures here")
    parser.add_argument("--out", help="also write the table here")
    args = parser.parse_args()
    # The quick relay case is the extension alone: the plain protocol needs a round trip a piece.
    quick = {"rounds": 1, "size_mib": 4, "small_files": 50, "clients_mib": 1, "large_mib": 0,
             "ext_loop_mib": 8, "ext_relay_mib": 1, "plain_relay_mib": 0, "relay_loss": [0.01],
             "set_mib": 1, "set_plain_mib": 0, "set_files": 10, "set_clients": 3,
             "set_client_mib": 1, "set_loop_mib": 8, "set_cpu_mib": 1, "set_cpu_rounds": 1,
             "keys_rounds": 1}
    full = {"rounds": 5, "size_mib": 256, "small_files": 2000, "clients_mib": 32,
            "large_mib": 1024, "ext_loop_mib": 1024, "ext_relay_mib": 64, "plain_relay_mib": 2,
            "relay_loss": [0.0, 0.01], "set_mib": 256, "set_plain_mib": 2, "set_files": 300,
            "set_clients": 10, "set_client_mib": 16, "set_loop_mib": 1024, "set_cpu_mib": 64,
            "set_cpu_rounds": 3, "keys_rounds": 5}
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    try:
        results = run(args)
    except (BenchError, subprocess.SubprocessError, OSError) as e:
        print(f"bench: FAILED: {e}", file=sys.stderr)
        return 1
    table = report(results, args)
    print()
    print(table)
    if args.out:
        with open(args.out, "w") as f:
            f.write(table + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Boots Debian's kernel under QEMU with tests/realdrv/init, plays the device on
the guest's ttyS1 (a 16550) and ttyUSB0 (an FTDI adapter), pulls the adapter
out when asked, then checks the bytes and texts the guest wrote back.

The device echoes every byte it gets. On Enter it also answers `@NAME` (a new
session: it records what it gets and sends from the `@` on) with `NAME ok`,
`blk N` with N bytes of numbered lines of every byte value and `blk done`,
and `stream` with numbered lines for as long as the line takes them; a `!`
during the stream pulls the adapter out (the monitor's device_del)."""
import os, re, select, socket, subprocess, sys, tarfile, time

arg = dict(a.split("=", 1) for a in sys.argv[1:])
work, bound = arg["work"], float(arg["bound"])
read = lambda path: open(path, "rb").read()


def cpio(path, entries):  # the newc format the kernel unpacks
    out = bytearray()
    for ino, (name, mode, data, rdev) in enumerate(entries + [("TRAILER!!!", 0, b"", 0)], 1):
        name = name.encode() + b"\0"
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev >> 8, rdev & 255, len(name), 0)
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + name
        out += b"\0" * (-(110 + len(name)) % 4) + data + b"\0" * (-len(data) % 4)
    open(path, "wb").write(out)


mods = arg["modules"]
cpio(f"{work}/initrd", [(d, 0o40755, b"", 0) for d in ("bin", "dev", "proc", "sys", "modules")]
     + [("dev/console", 0o20600, b"", 5 << 8 | 1), ("init", 0o100755, read(arg["init"]), 0)]
     + [(f"bin/{n}", 0o100755, read(arg[n]), 0) for n in ("busybox", "tt", "ptyrun")]
     + [(f"modules/{m}", 0o100644, read(f"{mods}/{m}"), 0) for m in sorted(os.listdir(mods))])
with open(f"{work}/disk", "wb") as disk:  # the guest writes its results here, as a tar
    disk.truncate(64 << 20)
segments = {}


class Port:
    def __init__(self, device=True, paced=False):
        self.device, self.conn, self.seg, self.stream = device, None, None, None
        self.out, self.line = bytearray(), bytearray()
        # A paced device takes bytes no faster than its session's line speed
        # (the number that ends the session's name): the driver's buffer
        # then fills and drains as on a real line.
        self.paced, self.rate, self.budget = paced, None, 0.0

    def send(self, data):
        self.out += data
        if self.seg:
            self.seg["sent"] += data

    def take(self, data):  # what the program sent
        for b in data if self.device else b"":
            if b == ord("@") and not self.line:
                self.seg = {"rx": bytearray(), "sent": bytearray()}
            if self.seg:
                self.seg["rx"].append(b)
            self.send(bytes([b]))
            if b == ord("!") and self.stream is not None:
                ports["mon"].out += b"device_del adapter\n"
            if b != 13:
                self.line.append(b)
                continue
            line, self.line = bytes(self.line), bytearray()
            if line.startswith(b"@"):
                segments[line[1:].decode()] = self.seg
                speed = re.search(rb"-(\d+)$", line)
                self.rate = int(speed[1]) / 10 if self.paced and speed else None
                self.send(b"\n" + line[1:] + b" ok\r\n")
            elif re.fullmatch(rb"blk \d+", line):
                block, i = bytearray(), 0
                while len(block) < int(line[4:]):
                    block += b"d%07d:" % i + bytes(range(256)) + b"\r\n"
                    i += 1
                self.send(b"\n" + block[:int(line[4:])] + b"blk done\r\n")
            elif line == b"stream":
                self.stream = 0
        while self.stream is not None and len(self.out) < 8192:  # as long as the line takes it
            self.send(b"s%07d streamed until the adapter is pulled out\r\n" % self.stream)
            self.stream += 1


# Only the 16550 is paced: while the USB adapter's output is not taken,
# QEMU stops the whole guest.
ports = {"s1": Port(paced=True), "usb": Port(), "mon": Port(device=False)}
listeners = {}
for name in ports:
    listeners[name] = socket.socket(socket.AF_UNIX)
    listeners[name].bind(f"{work}/{name}.sock")
    listeners[name].listen(1)
qemu = subprocess.Popen(
    [arg["qemu"], "-accel", "tcg", "-m", "256M", "-nographic", "-no-reboot", "-nic", "none",
     "-kernel", arg["kernel"], "-initrd", f"{work}/initrd",
     "-append", "console=ttyS0 quiet panic=-1",
     "-serial", "stdio", "-chardev", f"socket,id=s1,path={work}/s1.sock", "-serial", "chardev:s1",
     "-chardev", f"socket,id=usb,path={work}/usb.sock", "-device", "qemu-xhci,id=xhci",
     "-device", "usb-serial,bus=xhci.0,chardev=usb,id=adapter", "-monitor", f"unix:{work}/mon.sock",
     "-drive", f"file={work}/disk,format=raw,if=virtio"],
    stdin=subprocess.DEVNULL, stdout=open(f"{work}/console.log", "wb"), stderr=subprocess.STDOUT)
started, finished = time.monotonic(), True
try:
    # Every socket is read at all times: while the adapter's output is not
    # taken, QEMU stops the whole guest (and ignores SIGTERM).
    last = time.monotonic()
    while qemu.poll() is None and (finished := time.monotonic() - started < bound):
        now = time.monotonic()
        elapsed, last = now - last, now
        live = {p.conn: p for p in ports.values() if p.conn}
        for p in live.values():  # a tenth of a second's bytes at the most
            p.budget = min(p.budget + elapsed * p.rate, p.rate / 10) if p.rate else 65536
        takes = [c for c, p in live.items() if p.budget >= 1]
        tick = 0.01 if any(p.rate for p in live.values()) else 0.2
        readable, writable, _ = select.select([*listeners.values(), *takes],
                                              [c for c, p in live.items() if p.out], [], tick)
        for name, listener in list(listeners.items()):
            if listener in readable:
                ports[name].conn = listener.accept()[0]
                ports[name].conn.setblocking(False)
                del listeners[name]
        for conn, port in live.items():
            try:
                data = conn.recv(int(port.budget)) if conn in readable else None
                if data == b"":
                    raise ConnectionResetError
                port.budget -= len(data or b"")
                port.take(data or b"")
                if conn in writable:
                    del port.out[:conn.send(port.out)]
            except OSError:  # QEMU is ending
                port.conn = None
finally:
    qemu.kill()  # SIGKILL, after the bound too
    qemu.wait()
took = time.monotonic() - started

failures, checks = [], 0


def check(ok, what):
    global checks
    checks += 1
    print(("ok      " if ok else "FAILED  ") + what)
    ok or failures.append(what)


guest = read(f"{work}/console.log")
check(finished, f"the guest finished within {bound:.0f} s")
check(b"REALDRV-DONE" in guest, "the guest wrote its results")
files = {}
if b"REALDRV-DONE" in guest:
    with tarfile.open(f"{work}/disk") as tar:
        files = {m.name[2:]: tar.extractfile(m).read() for m in tar if m.isfile()}
get = lambda name: files.get(name, b"")
for name, text in (("usage", b"Usage:"),
                   ("noport", b"E012_Failed to open port: (2) No such file or directory"),
                   ("second", b"E012_Failed to open port: (16) Device or resource busy")) if files else ():
    check(text in get(f"{name}.con"), f"{name}: shows {text.decode()}")
    check(b"exit=0 restored=1" in get(f"{name}.txt"), f"{name}: exit 0, console restored")
# The guest's console UART and ttyS1 are real, ttyS2 and ttyS3 the 8250
# driver's placeholders; no udev, so no by-id names.
for name in ("usage", "noport") if files else ():
    listed = re.search(rb"Serial ports:[^\r\n]*", get(f"{name}.con"))
    listed = listed and listed[0].decode()
    check(listed == "Serial ports: /dev/ttyS0, /dev/ttyS1, /dev/ttyUSB0",
          f"{name}: lists the ports, not the placeholders ({listed})")
sessions = ("s1-38400", "s1-230400", "s1-9600", "usb-250000", "usb-4000000", "usb-115200",
            "unplug")
for name in sessions if files else ():
    con, cap, txt, keys = (get(f"{name}.{x}") for x in ("con", "cap", "txt", "keys"))
    seg = segments.get(name, {"rx": None, "sent": b"-"})
    line = re.search(rb"speed=(\d+) dtr=(\d) rts=(\d)", txt)
    speed, asked = line and int(line[1]), int(name.split("-")[1]) if "-" in name else 115200
    check(line and line.group(2, 3) == (b"1", b"1"), f"{name}: DTR and RTS raised")
    if name in ("s1-230400", "usb-4000000"):  # more than the 16550 or the FTDI chip can do
        check(b"E014_SetCommState failed: (22) Invalid argument" in con and speed != asked,
              f"{name}: the driver applied another speed ({speed}), and E014 says so")
    else:
        check(b"E014" not in con and speed == asked, f"{name}: the driver applied {asked}")
    check(b"exit=0 restored=1" in txt, f"{name}: exit 0, console restored")
    check(seg["rx"] == keys.replace(b"\x11", b""),
          f"{name}: the device got the {len(keys)} bytes typed")
    if name != "unplug":
        check(cap == seg["sent"] and con.endswith(cap),
              f"{name}: the {len(cap)} bytes sent, exact on console and capture")
    else:  # the E-line on a line of its own after what came
        after = con[con.find(cap) + len(cap):] if b"s0000300" in cap and cap in con else b""
        check(seg["sent"].startswith(cap) and re.match(rb"\n?E0\d\d_\w+ failed: \(\d+\) .+\n", after),
              f"{name}: an E-line after {len(cap)} bytes, exact on console and capture,"
              " a prefix of those sent")
if failures:
    print("-- the guest's console, last lines:")
    sys.stdout.buffer.write(b"\n".join(guest.splitlines()[-30:]) + b"\n")
print(f"Real-driver tests: {'FAILED' if failures else 'passed'}"
      f" ({len(failures)} of {checks} checks failed; QEMU ran {took:.0f} s)")
sys.exit(1 if failures else 0)

#!/usr/bin/env python3
"""Smoke tests of the Windows program, TorvaneTerminal.exe, under Wine.

The program's console input is a pseudo-terminal, which Wine turns into a
Windows console, so the key wait sees real key events; its standard output is
a pipe, so the bytes it printed are seen exactly as the C runtime wrote them
(text mode: every line ends in CR LF). Every test copies the program into a
directory of its own, so the `check` file beside it is the test's.

The session runs on a COM port that the prefix maps to a pseudo-terminal
slave; the test plays the device on the master. Wine's serial emulation needs
modem lines there, which modem_shim.c (preloaded, --modem-shim) provides;
keys a pseudo-terminal cannot deliver are put into the console by
inject_keys.exe (--inject-keys).

Usage:
  smoke.py --exe TorvaneTerminal.exe --loopback-exe TorvaneTerminalLoopback.exe \
           --usage-port PORT --version 1.0.0 [--wineprefix DIR] [--objdump TOOL] \
           [--modem-shim 'DIR/$LIB/modem_shim.so' --inject-keys inject_keys.exe]
           [--session-skip REASON] [--winearch win64] [--subset]

Without --wineprefix a fresh prefix is made (and removed) for the run.
--subset runs the SUBSET cases (or those named), each on its first road: the
shipped exe's short run where its Wine processes start slowly (an emulator).
TORVANE_SMOKE_TIME_SCALE multiplies every deadline for such a road.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

# Bounds on every wait. A first start in a fresh prefix loads more of Wine.
# Under an emulator every Wine process starts far slower: the road scales them.
SCALE = float(os.environ.get("TORVANE_SMOKE_TIME_SCALE", "1"))
PREFIX_BOOT_SECONDS = 300 * SCALE
START_SECONDS = 60 * SCALE
EXIT_SECONDS = 30 * SCALE
KEY_WAIT_HOLD_SECONDS = 1.0
LISTENER_SECONDS = 30 * SCALE
# The usage report holds start-up about 5 s at most; the rest is Wine's start.
SILENT_SERVICE_SECONDS = 15 * SCALE
# Wine moves about 0.04 MB/s through a pseudo-terminal port: bounds on a
# session's transfers are generous, and only completeness is checked.
TRANSFER_SECONDS = 240 * SCALE
KEY_SECONDS = 30 * SCALE

# The shipped exe's short run (--subset): start-up, the E012 roads, one
# session and the exe's format.
SUBSET = [
    "UsageRoad.test_help_and_version_answer_at_once_without_the_start_up",
    "PortOpening.test_com_port_that_maps_to_nothing_reports_e012_then_the_usage",
    "RefusedPorts.test_a_file_or_nul_named_as_the_port_is_refused_with_e012",
    "Session.test_bytes_keys_capture_and_ctrl_q",
    "Executable.test_exe_is_a_self_contained_32_bit_console_program",
]

PUBLISHER = "https://www.quellmark.example"

CONFIG = None   # parsed command line
NOTES = []      # what was observed, printed after the results


def note(text):
    if text not in NOTES:
        NOTES.append(text)


def roads(*cases):
    """The cases a test walks: the first alone in --subset."""
    return cases[:1] if CONFIG.subset else cases


def wine_environment(prefix):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEARCH": CONFIG.winearch or ("win64" if CONFIG.bits == 64 else "win32"),
        "WINEDEBUG": "-all",
        # No browser or .NET runtime to install, and no dialog offering them.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def kill_stragglers(prefix):
    """Kills Wine processes of this prefix that outlived its server (one that
    was still starting when the server went down); the prefix's path is unique
    to the run, so only processes of this run match."""
    wanted = f"WINEPREFIX={prefix}".encode()
    for entry in os.listdir("/proc") if os.path.isdir("/proc") else []:
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    os.kill(int(entry), signal.SIGKILL)
        except (OSError, ValueError):
            pass


class Prefix:
    """The Wine prefix of the run; made and booted once when none is given."""

    def __init__(self, given):
        self.owned = given is None
        self.path = given or tempfile.mkdtemp(prefix="torvane-wine-")
        self.env = wine_environment(self.path)
        if self.owned:
            self._run(["wineserver", "-p"], 30)
            self._run([CONFIG.wine, "wineboot", "-i"], PREFIX_BOOT_SECONDS)

    def _run(self, command, seconds):
        subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=seconds, check=True)

    def close(self):
        if self.owned:
            try:
                self._run(["wineserver", "-k"], 30)
            except (subprocess.SubprocessError, OSError):
                pass
            kill_stragglers(self.path)
            # The prefix names the temporary directory of its server's socket.
            try:
                with open(os.path.join(self.path, "wineserver")) as f:
                    server = os.path.join(tempfile.gettempdir(), f.read().strip())
                if os.path.basename(server).startswith("wine-"):
                    shutil.rmtree(server, ignore_errors=True)
            except OSError:
                pass
            shutil.rmtree(self.path, ignore_errors=True)


PREFIX = None


def setUpModule():
    global PREFIX
    PREFIX = Prefix(CONFIG.wineprefix)


def tearDownModule():
    if PREFIX is not None:
        PREFIX.close()


class Program:
    """TorvaneTerminal.exe under Wine, with a pseudo-terminal for its console."""

    def __init__(self, exe, args, workdir, env=None):
        self.console, slave = pty.openpty()
        # Wine's console clears ICANON and ECHO but leaves ISIG and the
        # input translations: raw, every key byte reaches it as typed.
        tty.setraw(slave)
        self.errors = tempfile.TemporaryFile()
        self.out = b""
        self.stdout_closed = False
        self.proc = subprocess.Popen(
            [CONFIG.wine, exe, *args], cwd=workdir, env=env or PREFIX.env,
            stdin=slave, stdout=subprocess.PIPE, stderr=self.errors,
            start_new_session=True)
        # Kept, to see what is left unread in the console when the program
        # has ended: a shell would read it next.
        self.slave = slave

    def _pump(self, seconds, device=None):
        """Reads what is ready within seconds, and serves the device when one
        is given; False once output has ended."""
        if self.stdout_closed:
            return False
        readers = [self.proc.stdout, self.console] + (device.readers() if device else [])
        ready, writable, _ = select.select(readers, device.writers() if device else [], [],
                                           seconds)
        if device:
            device.serve(ready, writable)
        if self.console in ready:
            try:
                os.read(self.console, 4096)  # Wine's own console drawing
            except OSError:
                pass
        if self.proc.stdout in ready:
            data = os.read(self.proc.stdout.fileno(), 65536)
            if not data:
                self.stdout_closed = True
                return False
            self.out += data
        return True

    def serve_until(self, done, seconds, device=None):
        """Pumps output (and the device) until done() holds; its final value."""
        deadline = time.monotonic() + seconds
        while not done():
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 0.2), device):
                return done()
        return True

    def wait_for_output(self, text, seconds=START_SECONDS):
        """True once the output holds text; False at its end or the deadline."""
        deadline = time.monotonic() + seconds
        while text.encode("latin-1") not in self.out:
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 0.5)):
                return text.encode("latin-1") in self.out
        return True

    def key(self, data):
        try:
            os.write(self.console, data)
        except OSError:
            pass  # the program has already gone

    def still_running_after(self, seconds):
        try:
            self.proc.wait(timeout=seconds)
            return False
        except subprocess.TimeoutExpired:
            return True

    def finish(self, seconds=EXIT_SECONDS):
        """Reads to the end of the output and returns the exit status; None
        when the program did not end in time (it is then killed)."""
        deadline = time.monotonic() + seconds
        while not self.stdout_closed and time.monotonic() < deadline:
            self._pump(min(0.5, max(0.0, deadline - time.monotonic())))
        try:
            return self.proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=EXIT_SECONDS)

    def close(self):
        self.kill()
        self.proc.stdout.close()
        os.close(self.console)
        os.close(self.slave)
        self.errors.close()

    def unread_keys(self):
        """What was typed on the console and taken by no one."""
        os.set_blocking(self.slave, False)
        try:
            return os.read(self.slave, 4096)
        except BlockingIOError:
            return b""

    def text(self):
        # Decoded byte for byte; a form feed from CLS on a pipe is not output
        # of the program's own.
        return self.out.decode("latin-1").replace("\x0c", "")

    def diagnostics(self):
        self.errors.seek(0)
        wine_errors = self.errors.read().decode("latin-1", "replace")
        text = self.text()
        if len(text) > 3000:  # a session's output: its start and its end
            text = text[:1000] + f"[... {len(text) - 2000} characters ...]" + text[-1000:]
        return f"\n--- output ---\n{text!r}\n--- wine ---\n{wine_errors[-3000:]}"


MACHINE_CODE_LINE = r"Machine Code [0-9A-F]{12}"


def banner():
    return f"TorvaneTerminal {CONFIG.version}"


def usage_block():
    return [
        f"TorvaneTerminal {CONFIG.version} - serial terminal for diagnostic ports",
        PUBLISHER,
        "Usage:",
        "TorvaneTerminal.exe [port] [speed]",
        "Example for Torvane F3: TorvaneTerminal.exe COM3 38400",
    ]


# The line after the usage block on the usage and E012 roads: the COM names
# the prefix knows, so only its shape is fixed.
PORTS_LINE = r"Serial ports: (none found|COM\d+(, COM\d+)*)"


def host_hardware_addresses():
    """The host's non-loopback hardware addresses, as machine codes."""
    codes = set()
    try:
        names = os.listdir("/sys/class/net")
    except OSError:
        return codes
    for name in names:
        try:
            with open(f"/sys/class/net/{name}/address") as f:
                code = f.read().strip().replace(":", "").upper()
        except OSError:
            continue
        if re.fullmatch(r"[0-9A-F]{12}", code) and code != "000000000000":
            codes.add(code)
    return codes


class WineTestCase(unittest.TestCase):
    """Each test gets a directory holding its own copy of the program."""

    exe_option = "exe"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="torvane-smoke-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.exe = os.path.join(self.dir, "TorvaneTerminal.exe")
        shutil.copy(getattr(CONFIG, self.exe_option), self.exe)
        # Roads that should end by themselves open COM42, which must name no
        # device, even on a machine with that many serial ports.
        self.set_device_link("com42", None)

    def set_device_link(self, name, target):
        """Points the prefix's DOS device name (e.g. com12) at target, or at
        nothing when target is None; what was there before comes back after."""
        link = os.path.join(PREFIX.path, "dosdevices", name)
        before = os.readlink(link) if os.path.islink(link) else None
        if before is not None:
            os.unlink(link)
        if target is not None:
            os.symlink(target, link)

        def restore():
            if os.path.lexists(link):
                os.unlink(link)
            if before is not None:
                os.symlink(before, link)
        self.addCleanup(restore)

    def write_check(self, content):
        with open(os.path.join(self.dir, "check"), "wb") as f:
            f.write(content)

    def start(self, *args, env=None):
        program = Program(self.exe, list(args), self.dir, env)
        self.addCleanup(program.close)
        return program

    def run_to_end(self, *args):
        """Runs a road that ends without a key; returns the program, its exit
        status and its output lines."""
        program = self.start(*args)
        status = program.finish(START_SECONDS)
        # Under QEMU's user-mode emulator a 32-bit Wine process now and then
        # faults as it exits, its output whole ("qemu: uncaught target
        # signal"); natively the same road never has. There alone, such a
        # crash is noted and the road run once more.
        if (CONFIG.subset and status is not None and status < 0
                and "qemu: uncaught target signal" in program.diagnostics()):
            note(f"{args}: the emulator crashed at the end (status {status}); run again")
            program = self.start(*args)
            status = program.finish(START_SECONDS)
        self.assertIsNotNone(status, "the program did not end" + program.diagnostics())
        return program, status, program.text().split("\r\n")

    def assert_startup(self, program, lines, appid):
        self.assertGreaterEqual(len(lines), 3, program.diagnostics())
        self.assertEqual(lines[0], banner(), program.diagnostics())
        self.assertRegex(lines[1], f"^{MACHINE_CODE_LINE}$", program.diagnostics())
        self.assertEqual(lines[2], f"AppID {appid}", program.diagnostics())


class UsageRoad(WineTestCase):
    def test_no_arguments_show_the_usage_and_a_key_ends_the_wait(self):
        program = self.start()
        last = usage_block()[-1] + "\r\n"
        self.assertTrue(program.wait_for_output(last), "no usage block" + program.diagnostics())
        self.assertTrue(program.still_running_after(KEY_WAIT_HOLD_SECONDS),
                        "ended without waiting for a key" + program.diagnostics())
        program.key(b"x")
        status = program.finish()
        self.assertEqual(status, 0, program.diagnostics())

        lines = program.text().split("\r\n")
        self.assert_startup(program, lines, "")
        expected = [banner(), lines[1], "AppID "]
        expected += [f"TorvaneTerminal {CONFIG.version} ", f"Quellmark  - {PUBLISHER}", ""]
        expected += usage_block()
        ports = lines[len(expected)] if len(lines) > len(expected) else ""
        self.assertRegex(ports, f"^{PORTS_LINE}$", program.diagnostics())
        expected.append(ports)
        # Exactly these lines and nothing else: no "Problem:" from the key wait,
        # whose console calls all succeed on a real console.
        self.assertEqual(program.text(), "".join(line + "\r\n" for line in expected),
                         program.diagnostics())

        code = lines[1][len("Machine Code "):]
        addresses = host_hardware_addresses()
        if addresses:
            self.assertIn(code, addresses, "not a hardware address of this machine")
        else:
            self.assertEqual(code, "000000000000")
        note("first lines under Wine: " + " | ".join(program.text().split("\r\n")[:5]))


    def test_help_and_version_answer_at_once_without_the_start_up(self):
        for option, expected in roads(("--version", [banner(), ""]), ("/?", usage_block())):
            with self.subTest(option=option):
                program, status, lines = self.run_to_end(option)
                self.assertEqual(status, 0, program.diagnostics())
                self.assertEqual(lines[:len(expected)], expected, program.diagnostics())
                self.assertNotIn("Machine Code", program.text(), program.diagnostics())

class CheckFile(WineTestCase):
    def test_appid_is_the_hex_text_of_the_check_file_beside_the_program(self):
        cases = [
            (b"\x01\xab", "01AB"),
            (b"", ""),
            (None, ""),  # no check file at all
            # Bytes a text-mode read would change or stop at.
            (b"\x0d\x0a\x1a\x00\xff", "0D0A1A00FF"),
            (bytes(range(20)), "".join(f"{b:02X}" for b in range(20))),
        ]
        for content, appid in cases:
            with self.subTest(check=content):
                path = os.path.join(self.dir, "check")
                if os.path.exists(path):
                    os.remove(path)
                if content is not None:
                    self.write_check(content)
                # The port road ends by itself after E012, with no key wait.
                program, status, lines = self.run_to_end("COM42")
                self.assertEqual(status, 0)
                self.assert_startup(program, lines, appid)


class PortOpening(WineTestCase):
    def test_com_port_that_maps_to_nothing_reports_e012_then_the_usage(self):
        program, status, lines = self.run_to_end("COM42", "38400")
        self.assertEqual(status, 0, program.diagnostics())
        self.assert_startup(program, lines, "")
        self.assertEqual(lines[3:5], ["Selected PORT COM42", "Selected RATE 38400"],
                         program.diagnostics())
        errors = [i for i, line in enumerate(lines) if line.startswith("E012")]
        self.assertEqual(len(errors), 1, program.diagnostics())
        match = re.fullmatch(r"E012_Failed to open port: \((-?\d+)\) ([^\r]*)",
                             lines[errors[0]])
        self.assertIsNotNone(match, program.diagnostics())
        number, text = int(match.group(1)), match.group(2).strip()
        # No such file (2) or no such path (3), as the platform answers for
        # the device path; both carry the system's own text.
        self.assertIn(number, (2, 3), program.diagnostics())
        self.assertTrue(text and text != "unknown error", program.diagnostics())
        rest = [line for line in lines[errors[0] + 1:] if line]
        self.assertEqual(rest[:-1], usage_block(), program.diagnostics())
        self.assertRegex(rest[-1], f"^{PORTS_LINE}$", program.diagnostics())
        note(f"E012 for COM42 under Wine: number {number}, text {text!r}")
        note(f"the prefix's own ports: {rest[-1]!r}")

    def test_com_port_above_nine_is_opened_through_the_device_namespace(self):
        # COM12 exists for Wine once its device link names a terminal; the
        # bare name would open a file "COM12" in the current directory instead.
        device, device_slave = pty.openpty()
        self.addCleanup(os.close, device)
        self.addCleanup(os.close, device_slave)
        self.set_device_link("com12", os.ttyname(device_slave))

        program = self.start("COM12", "38400")
        started = program.wait_for_output("press ENTER to start, Ctrl+Q to terminate")
        program.key(b"\x11")  # Ctrl+Q, should the session still be running
        status = program.finish()
        text = program.text()
        self.assertTrue(started, "no session started" + program.diagnostics())
        self.assertIn("Selected PORT COM12\r\n", text)
        self.assertNotIn("E012", text, program.diagnostics())
        self.assertEqual(status, 0, program.diagnostics())
        after = text.split("terminate\r\n", 1)[1].split("\r\n")[0]
        note(f"COM12 linked to a pseudo-terminal opened; the session then printed {after!r}")


class PortList(WineTestCase):
    """The serial ports line. Wine records a COM port in the serial device map
    (and among the DOS device names) only when its mount manager makes it, as
    the prefix starts, from the /dev/ttyS ports it finds and from its Ports
    key; a dosdevices link made by hand opens, but is listed in neither."""

    PORTS_KEY = r"HKLM\Software\Wine\Ports"

    def wine_command(self, *command):
        subprocess.run(list(command), env=PREFIX.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=START_SECONDS, check=True)

    def restart_prefix(self):
        """Wine's mount manager reads its ports when the prefix starts: ends
        every program of the prefix and starts its server again."""
        self.wine_command("wineserver", "-k")
        self.wine_command("wineserver", "-p")

    def test_a_port_the_prefix_is_given_is_listed(self):
        device, device_slave = pty.openpty()
        self.addCleanup(os.close, device)
        self.addCleanup(os.close, device_slave)
        # Cleanups run last first: the prefix restarts once the port is gone.
        self.addCleanup(self.restart_prefix)
        number = 5
        while os.path.lexists(os.path.join(PREFIX.path, "dosdevices", f"com{number}")):
            number += 1
        # Given the way Wine is told of a port (its Ports key, read at start),
        # so that the prefix lists it as Windows lists its ports.
        port = f"COM{number}"
        link = os.path.join(PREFIX.path, "dosdevices", port.lower())
        self.addCleanup(lambda: os.path.lexists(link) and os.unlink(link))
        self.addCleanup(self.wine_command, CONFIG.wine, "reg", "delete", self.PORTS_KEY,
                        "/v", port, "/f")
        self.wine_command(CONFIG.wine, "reg", "add", self.PORTS_KEY, "/v", port,
                          "/d", os.ttyname(device_slave), "/f")
        self.restart_prefix()

        program, status, lines = self.run_to_end("COM42", "38400")
        self.assertEqual(status, 0, program.diagnostics())
        listed = [line for line in lines if line.startswith("Serial ports: ")]
        self.assertEqual(len(listed), 1, program.diagnostics())
        self.assertIn(port, listed[0][len("Serial ports: "):].split(", "), program.diagnostics())
        note(f"a port given to Wine, E012 road: {listed[0]!r}")


class RefusedPorts(WineTestCase):
    def test_a_file_or_nul_named_as_the_port_is_refused_with_e012(self):
        # A file opens as readily as a port; keys typed at start-up must not
        # end up in it.
        path = os.path.join(self.dir, "notes.txt")
        with open(path, "wb") as f:
            f.write(b"hello")
        for name in roads("notes.txt", "NUL"):
            with self.subTest(port=name):
                program = self.start(name, "38400")
                program.key(b"XYZ\r")
                status = program.finish(START_SECONDS)
                self.assertEqual(status, 0, program.diagnostics())
                lines = program.text().split("\r\n")
                self.assert_startup(program, lines, "")
                self.assertEqual(lines[3:5], [f"Selected PORT {name}", "Selected RATE 38400"],
                                 program.diagnostics())
                # The report and the usage block follow at once: no E013, E014
                # or session prompt in between.
                match = re.fullmatch(r"E012_Failed to open port: \((-?\d+)\) ([^\r]*)", lines[5])
                self.assertIsNotNone(match, program.diagnostics())
                self.assertTrue(match.group(2).strip(), program.diagnostics())
                rest = [line for line in lines[6:] if line]
                self.assertEqual(rest[:-1], usage_block(), program.diagnostics())
                self.assertRegex(rest[-1], f"^{PORTS_LINE}$", program.diagnostics())
                # The keys were for a device: none is left for the shell.
                self.assertEqual(program.unread_keys(), b"", program.diagnostics())
                note(f"E012 for {name} under Wine: ({match.group(1)}) {match.group(2).strip()}")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"hello")


class Device:
    """The device end of a pseudo-terminal whose slave is the program's COM
    port: sends what it is given and keeps what it receives."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.received = b""
        self.pending = b""
        self.reading = True  # False: a device that takes nothing

    def path(self):
        return os.ttyname(self.slave)

    def send(self, data):
        self.pending += data

    def readers(self):
        return [self.master] if self.master is not None and self.reading else []

    def writers(self):
        return [self.master] if self.master is not None and self.pending else []

    def serve(self, readable, writable):
        if self.master is None:
            return
        if self.master in readable:
            try:
                self.received += os.read(self.master, 4096)
            except (BlockingIOError, OSError):
                pass
        if self.master in writable and self.pending:
            try:
                sent = os.write(self.master, self.pending[:4096])
                self.pending = self.pending[sent:]
            except BlockingIOError:
                pass

    def collect(self):
        """Takes in whatever the program sent that has not been read yet."""
        while self.master is not None:
            try:
                data = os.read(self.master, 4096)
            except OSError:  # nothing more, or the program's end closed it
                return
            if not data:
                return
            self.received += data

    def fill_output_queue(self):
        """Stops reading and fills the port's output queue from the slave
        side until it takes nothing more, even in small pieces after a pause."""
        self.reading = False
        os.set_blocking(self.slave, False)
        filled, before = 0, -1
        while filled != before:
            before = filled
            for size in (1024, 64, 1):
                try:
                    while True:
                        filled += os.write(self.slave, b"F" * size)
                except BlockingIOError:
                    pass
            select.select([], [self.slave], [], 0.2)
        return filled

    def hang_up(self):
        """Closes both ends, as a device that went away."""
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None


def text_mode(data):
    """What the Windows C runtime writes for data on a text-mode stream."""
    return data.replace(b"\n", b"\r\n")


class Session(WineTestCase):
    """The session road on COMn (n >= 5, never COM1: Wine maps that to the
    machine's own serial console) linked to a pseudo-terminal."""

    PROMPT = "press ENTER to start, Ctrl+Q to terminate\r\n"

    def setUp(self):
        if CONFIG.session_skip:
            self.skipTest(CONFIG.session_skip)
        if not CONFIG.modem_shim or not CONFIG.inject_keys:
            self.skipTest("no --modem-shim and --inject-keys given")
        super().setUp()
        self.device = Device()
        self.addCleanup(lambda: self.device.hang_up())
        self.port = self.link_free_com_port(self.device)
        self.env = dict(PREFIX.env, LD_PRELOAD=CONFIG.modem_shim)

    def link_free_com_port(self, device):
        """Links the first free COM name from COM5 up to the device; its name."""
        number = 5
        while os.path.lexists(os.path.join(PREFIX.path, "dosdevices", f"com{number}")):
            number += 1
        self.set_device_link(f"com{number}", device.path())
        return f"COM{number}"

    def start_session(self, *extra):
        program = self.start(self.port, "38400", *extra, env=self.env)
        started = program.wait_for_output(self.PROMPT)
        self.assertTrue(started, "no session prompt" + program.diagnostics())
        try:
            with open(f"/proc/{program.proc.pid}/maps") as f:
                loaded = "modem_shim" in f.read()
        except OSError:
            loaded = True  # no /proc to look in: the session itself shows it
        self.assertTrue(loaded, f"{CONFIG.modem_shim} was not loaded" + program.diagnostics())
        lines = program.text().split("\r\n")
        self.assert_startup(program, lines, "")
        self.assertEqual(lines[3:], [f"Selected PORT {self.port}", "Selected RATE 38400",
                                     self.PROMPT[:-2], ""], program.diagnostics())
        return program, program.out

    def inject(self, *keys):
        """Puts keys into the program's console as key records."""
        result = subprocess.run(
            [CONFIG.wine, CONFIG.inject_keys, "TorvaneTerminal.exe", *[f"{k:02x}" for k in keys]],
            env=PREFIX.env, stdin=subprocess.DEVNULL, capture_output=True,
            timeout=START_SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr.decode("latin-1", "replace"))

    def await_received(self, program, expected):
        arrived = program.serve_until(lambda: self.device.received == expected
                                      or not expected.startswith(self.device.received),
                                      KEY_SECONDS, self.device)
        self.assertTrue(arrived, f"the device has {self.device.received!r}, not {expected!r}"
                        + program.diagnostics())
        self.assertEqual(self.device.received, expected, program.diagnostics())

    def await_shown(self, program, expected, seconds):
        shown = program.serve_until(lambda: len(program.out) >= len(expected), seconds,
                                    self.device)
        self.assertTrue(shown, f"{len(program.out)} of {len(expected)} bytes shown"
                        + program.diagnostics())
        self.assertEqual(program.out, expected, "the console differs" + program.diagnostics())

    def test_bytes_keys_capture_and_ctrl_q(self):
        capture = os.path.join(self.dir, "capture.txt")
        program, expected = self.start_session("-", "-", "-", "capture.txt")
        received = b""

        every_value = bytes(range(256))
        self.device.send(every_value)
        expected += text_mode(every_value)
        self.await_shown(program, expected, KEY_SECONDS)

        # A second session naming the same capture file, on a port of its
        # own, is refused before it empties anything: the capture is checked
        # whole at the end. The subset leaves out this program, Ctrl+C's and
        # the flood below: under an emulator each Wine process starts far
        # more slowly (a minute under QEMU 7.2), and so would the flood run.
        if not CONFIG.subset:
            other = Device()
            self.addCleanup(other.hang_up)
            second = self.start(self.link_free_com_port(other), "38400", "-", "-", "-",
                                "capture.txt", env=self.env)
            self.assertEqual(second.finish(START_SECONDS), 0, second.diagnostics())
            refusal = [line for line in second.text().split("\r\n")
                       if line.startswith("Cannot create capture file capture.txt: ")]
            self.assertEqual(len(refusal), 1, second.diagnostics())
            self.assertNotIn(self.PROMPT, second.text(), second.diagnostics())
            note("a capture file in use under Wine: " + refusal[0])

        # Typed on the console's pseudo-terminal, then Ctrl+C put into the
        # console; each is one byte to the device, and the session goes on.
        for key in (b"a", b"\r", b"\x1a"):
            program.key(key)
            received += key
            self.await_received(program, received)
        flood = b""
        if not CONFIG.subset:
            self.inject(0x03)
            received += b"\x03"
            self.await_received(program, received)

            flood = bytes(range(256)) * 1024  # 256 KiB
            self.device.send(flood)
            expected += text_mode(flood)
            started = time.monotonic()
            self.await_shown(program, expected, TRANSFER_SECONDS)
            note(f"256 KiB through a pseudo-terminal port in {time.monotonic() - started:.1f} s")

        self.inject(0x11)  # Ctrl+Q
        status = program.finish()
        self.assertEqual(status, 0, program.diagnostics())
        # Nothing after the received bytes: no E-message at any point.
        self.assertEqual(program.out, expected, program.diagnostics())
        self.device.collect()
        self.assertEqual(self.device.received, received, "Ctrl+Q must not be sent")
        with open(capture, "rb") as f:
            self.assertEqual(f.read(), text_mode(every_value + flood))

    def test_a_held_key_and_ctrl_q_while_the_device_reads_nothing(self):
        program, _ = self.start_session()
        # A held key's record with repeat count 3 sends its byte three times.
        result = subprocess.run(
            [CONFIG.wine, CONFIG.inject_keys, "TorvaneTerminal.exe", "61x3"],
            env=PREFIX.env, stdin=subprocess.DEVNULL, capture_output=True,
            timeout=START_SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr.decode("latin-1", "replace"))
        self.await_received(program, b"aaa")

        # The device stops reading; hundreds of keys, then Ctrl+Q still ends
        # the session.
        filled = self.device.fill_output_queue()
        self.assertGreater(filled, 0)
        program.key(b"k" * 300)
        program.serve_until(lambda: False, 1.0, self.device)
        self.inject(0x11)
        started = time.monotonic()
        status = program.finish()
        seconds = time.monotonic() - started
        self.assertEqual(status, 0, program.diagnostics())
        self.assertLess(seconds, 10, program.diagnostics())
        self.assertNotIn("E0", program.text(), program.diagnostics())
        note(f"Ctrl+Q with the device reading nothing ({filled} bytes queued): "
             f"ended {seconds:.1f} s after the key was put in")

    def test_the_device_going_away_ends_the_session_with_a_report(self):
        program, expected = self.start_session()
        self.device.send(b"bye\n")
        expected += b"bye\r\n"
        self.await_shown(program, expected, KEY_SECONDS)
        self.device.hang_up()
        status = program.finish()
        self.assertEqual(status, 0, program.diagnostics())
        # The device's last words stay: nothing clears the screen after them.
        self.assertNotIn(b"\x0c", program.out[len(expected):], program.diagnostics())
        rest = program.out[len(expected):].decode("latin-1").split("\r\n")
        rest = [line.rstrip("\r") for line in rest if line]
        # A read that fails is reported and the loop waits again; the wait
        # that fails ends it. So one or two reports, each with the usage
        # block, the last from the wait.
        reports = [line for line in rest if re.match(r"E0\d\d_", line)]
        self.assertIn(len(reports), (1, 2), program.diagnostics())
        self.assertEqual(rest, sum(([r] + usage_block() for r in reports), []),
                         program.diagnostics())
        for report in reports[:-1]:
            self.assertRegex(report, r"^E01[01]_\w+ failed: \(\d+\) \S", program.diagnostics())
        self.assertRegex(reports[-1], r"^E00[89]_\w+ failed: \(\d+\) \S", program.diagnostics())
        note("the device going away under Wine: " + " then ".join(reports))


class Listener:
    """A loopback HTTP listener that records every request it is sent; a
    silent one reads the request and never answers, holding the connection
    open until it is closed."""

    def __init__(self, port, answer=True):
        self.answer = answer
        self.held = []
        self.requests = []
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", port))
        self.server.listen(4)
        self.server.settimeout(0.2)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                connection, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(5)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    chunk = connection.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                if self.answer:
                    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
                                       b"Connection: close\r\n\r\n")
            except OSError:
                pass
            self.requests.append(data.decode("latin-1"))
            if self.answer:
                connection.close()
            else:
                self.held.append(connection)

    def wait_for_request(self, seconds=LISTENER_SECONDS):
        deadline = time.monotonic() + seconds
        while not self.requests and time.monotonic() < deadline:
            time.sleep(0.05)
        return bool(self.requests)

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.server.close()
        for connection in self.held:
            connection.close()


class UsageReport(WineTestCase):
    exe_option = "loopback_exe"

    def check_request(self, listener, program, lines):
        self.assertEqual(len(listener.requests), 1, f"{listener.requests!r}")
        head, *headers = listener.requests[0].split("\r\n")
        code = lines[1][len("Machine Code "):]
        self.assertEqual(head, f"GET /ws/applicationlog.php?mac={code}&app=01AB HTTP/1.1")
        fields = {}
        for header in headers:
            if ":" in header:
                name, value = header.split(":", 1)
                fields[name.strip().lower()] = value.strip()
        self.assertEqual(fields.get("user-agent"), "Sample", headers)
        self.assertEqual(fields.get("host"), f"127.0.0.1:{CONFIG.usage_port}", headers)
        # Resolved by the origin server, whatever a cache in between holds.
        self.assertEqual(fields.get("pragma"), "no-cache", headers)
        note("usage report under Wine: " + " | ".join(h for h in [head] + headers if h))

    def test_report_reaches_a_loopback_listener_at_every_start(self):
        self.write_check(b"\x01\xab")
        for road in ("usage", "port"):
            with self.subTest(road=road):
                listener = Listener(CONFIG.usage_port)
                try:
                    if road == "usage":
                        program = self.start()
                        self.assertTrue(program.wait_for_output(usage_block()[-1]),
                                        program.diagnostics())
                        program.key(b"x")
                        status = program.finish()
                    else:
                        program = self.start("COM42")
                        status = program.finish(START_SECONDS)
                    self.assertEqual(status, 0, program.diagnostics())
                    lines = program.text().split("\r\n")
                    self.assert_startup(program, lines, "01AB")
                    # The report has been answered before the lines are printed.
                    self.assertTrue(listener.wait_for_request(0), "no request arrived")
                    self.check_request(listener, program, lines)
                finally:
                    listener.close()

    def test_a_service_that_never_answers_holds_start_up_a_bounded_time(self):
        # WinINet's own time-outs would hold the program for minutes here.
        self.write_check(b"\x01\xab")
        for road in ("usage", "port"):
            with self.subTest(road=road):
                listener = Listener(CONFIG.usage_port, answer=False)
                try:
                    started = time.monotonic()
                    program = self.start() if road == "usage" else self.start("COM42")
                    shown = program.wait_for_output("AppID 01AB\r\n", SILENT_SERVICE_SECONDS)
                    seconds = time.monotonic() - started
                    self.assertTrue(shown, f"no start-up lines within {SILENT_SERVICE_SECONDS} s"
                                    + program.diagnostics())
                    if road == "usage":
                        self.assertTrue(program.wait_for_output(usage_block()[-1]),
                                        program.diagnostics())
                        program.key(b"x")
                        status = program.finish()
                    else:
                        status = program.finish(START_SECONDS)
                    self.assertEqual(status, 0, program.diagnostics())
                    self.assert_startup(program, program.text().split("\r\n"), "01AB")
                    self.assertEqual(len(listener.requests), 1, f"{listener.requests!r}")
                    note(f"silent usage service, {road} road: start-up lines after {seconds:.1f} s")
                finally:
                    listener.close()


class Executable(unittest.TestCase):
    def test_exe_is_a_self_contained_32_bit_console_program(self):
        if CONFIG.bits != 32:
            self.skipTest("the 64-bit stand-in was built and tested, not the 32-bit exe "
                          "(tests/windows/run said why)")

        def dump(option):
            return subprocess.run([CONFIG.objdump, option, CONFIG.exe], capture_output=True,
                                  text=True, timeout=60, check=True).stdout

        headers = dump("-f")
        self.assertIn("file format pei-i386", headers)
        private = dump("-p")
        self.assertRegex(private, r"(?m)^Magic\s+010b")           # PE32
        self.assertRegex(private, r"(?m)^Subsystem\s+00000003")   # console
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", private)}
        self.assertTrue({"kernel32.dll", "netapi32.dll", "wininet.dll", "advapi32.dll"} <= dlls,
                        dlls)
        runtime = {d for d in dlls if re.search(r"libgcc|libstdc|libwinpthread|mingw", d)}
        self.assertFalse(runtime, "needs MinGW runtime DLLs beside it")
        note(f"{os.path.basename(CONFIG.exe)}: {os.path.getsize(CONFIG.exe)} bytes, "
             f"imports {', '.join(sorted(dlls))}")


def main():
    global CONFIG
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--loopback-exe", required=True)
    parser.add_argument("--usage-port", required=True, type=int)
    parser.add_argument("--version", required=True)
    parser.add_argument("--wineprefix")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--modem-shim", help="LD_PRELOAD path of modem_shim.so, with $LIB")
    parser.add_argument("--inject-keys", help="inject_keys.exe")
    parser.add_argument("--session-skip", help="why the session tests cannot run here")
    parser.add_argument("--wine", default="wine", help="the Wine loader to run programs with")
    parser.add_argument("--bits", type=int, choices=(32, 64), default=32,
                        help="word size of the programs under test")
    parser.add_argument("--winearch", choices=("win32", "win64"),
                        help="the prefix's word size (default: that of --bits)")
    parser.add_argument("--subset", action="store_true",
                        help="the SUBSET cases alone, each on its first road")
    CONFIG, rest = parser.parse_known_args()
    if CONFIG.subset and not rest:
        rest = SUBSET

    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    result = program.result
    for line in NOTES:
        print("observed: " + line)
    # Counted per test: a test whose subtests failed (or were skipped) counts
    # once, as testsRun counts it, however many subtests there were.
    def tests_of(outcomes):
        return {getattr(test, "test_case", test).id() for test, _ in outcomes}
    failed = tests_of(result.failures + result.errors)
    skipped = tests_of(result.skipped) - failed
    passed = result.testsRun - len(failed) - len(skipped)
    name = "subset" if CONFIG.subset else "tests"
    print(f"Windows smoke {name}: {passed} passed, {len(failed)} failed, {len(skipped)} skipped")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

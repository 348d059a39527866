#!/usr/bin/env python3
"""Raw-UDP client for what real TFTP clients cannot show: option refusal, silent clients,
duplicate ACKs, block wrap, windowed transfers with lost and early ACKs, write requests,
repeated requests, refused paths and malformed packets, links out of the root, a corrupt image,
and that every started transfer reports exactly one end. Runs every case against a fresh server
in multi-port and in single-port mode."""
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SERVER = None  # path of qvtftp_testserver, from the command line
SOURCE_DIR = os.environ.get("KIV_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

RRQ, WRQ, DATA, ACK, ERROR, OACK = 1, 2, 3, 4, 5, 6


def rrq(name, mode="octet", opts=(), opcode=RRQ):
    pkt = struct.pack("!H", opcode) + name.encode() + b"\0" + mode.encode() + b"\0"
    for key, value in opts:
        pkt += key.encode() + b"\0" + str(value).encode() + b"\0"
    return pkt


def ack(block):
    return struct.pack("!HH", ACK, block & 0xFFFF)


class Server:
    """qvtftp_testserver as a child process; its event lines are collected as they come."""

    def __init__(self, root, single, timeout=1, sends=5, extra_roots=()):
        args = [SERVER, "--port", "0", "--timeout", str(timeout), "--sends", str(sends),
                "--root", "=" + root]
        for prefix, path in extra_roots:
            args += ["--root", prefix + "=" + path]
        if single:
            args.append("--single")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        self.events = []
        self.lock = threading.Lock()
        ready = self.proc.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "READY":
            self.stop()
            raise RuntimeError("server did not start: %r" % ready)
        self.port = int(ready[1])
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            parts = line.split()
            if parts and parts[0] == "EVENT":
                with self.lock:
                    self.events.append(parts)

    def events_for(self, port, code=None):
        with self.lock:
            return [e for e in self.events
                    if e[2].endswith(":%d" % port) and (code is None or e[1] == str(code))]

    def wait_event(self, port, code, count=1, timeout=10.0):
        """The first event of this kind once `count` of them have arrived, or None."""
        end = time.time() + timeout
        while time.time() < end:
            found = self.events_for(port, code)
            if len(found) >= count:
                return found[0]
            time.sleep(0.05)
        return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Client:
    def __init__(self, server):
        self.server = server
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.peer = None  # the transfer's address, learnt from the first reply

    def send_request(self, pkt):
        self.sock.sendto(pkt, ("127.0.0.1", self.server.port))

    def send(self, pkt):
        self.sock.sendto(pkt, self.peer)

    def recv(self, timeout=3.0):
        """(opcode, payload after the opcode) or None when nothing came in time."""
        self.sock.settimeout(timeout)
        try:
            data, addr = self.sock.recvfrom(70000)
        except socket.timeout:
            return None
        if self.peer is None:
            self.peer = addr
        (opcode,) = struct.unpack("!H", data[:2])
        return opcode, data[2:]

    def recv_data(self, timeout=3.0):
        got = self.recv(timeout)
        if got is None or got[0] != DATA:
            raise AssertionError("expected DATA, got %r" % (got,))
        (block,) = struct.unpack("!H", got[1][:2])
        return block, got[1][2:]

    def close(self):
        self.sock.close()


def error_of(got):
    assert got is not None and got[0] == ERROR, "expected ERROR, got %r" % (got,)
    code = struct.unpack("!H", got[1][:2])[0]
    return code, got[1][2:].rstrip(b"\0").decode()


class RawTftp(unittest.TestCase):
    single = False

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tftp_raw_%d_" % os.getpid())
        files = {
            "three.bin": os.urandom(3 * 512),
            "big.bin": os.urandom(20000),
            "wrap.bin": os.urandom(8 * 65536 + 5),
        }
        for name, data in files.items():
            with open(os.path.join(cls.root, name), "wb") as f:
                f.write(data)
        cls.files = files
        with open(os.path.join(os.path.dirname(cls.root), os.path.basename(cls.root) + ".secret"),
                  "wb") as f:
            f.write(b"outside the root")
        # Links: out of the root (a directory and a file), and inside it.
        cls.outside = tempfile.mkdtemp(prefix="tftp_out_%d_" % os.getpid())
        with open(os.path.join(cls.outside, "shadow"), "wb") as f:
            f.write(b"outside the root")
        os.mkdir(os.path.join(cls.root, "sub"))
        with open(os.path.join(cls.root, "sub", "in.cfg"), "wb") as f:
            f.write(b"inside")
        os.symlink(cls.outside, os.path.join(cls.root, "link"))
        os.symlink(os.path.join(cls.outside, "shadow"), os.path.join(cls.root, "shadowlink"))
        os.symlink("sub", os.path.join(cls.root, "inlink"))
        # An image whose file BIG.CFG runs past the image's end, beside a sound OK.CFG.
        extra = []
        isosrc = os.path.join(cls.outside, "isosrc")
        os.mkdir(isosrc)
        for name, data in (("ok.cfg", b"fine\n"), ("big.cfg", os.urandom(5000))):
            with open(os.path.join(isosrc, name), "wb") as f:
                f.write(data)
        cls.corrupt = os.path.join(cls.outside, "corrupt.iso")
        if shutil.which("xorriso"):
            subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-o", cls.corrupt,
                            isosrc], check=True, stderr=subprocess.DEVNULL)
            subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tests", "support",
                                                         "iso_overrun.py"),
                            cls.corrupt, "BIG.CFG;1"], check=True)
            extra.append(("ISO1", cls.corrupt))
        cls.server = Server(cls.root, cls.single, extra_roots=extra)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.root, ignore_errors=True)
        shutil.rmtree(cls.outside, ignore_errors=True)
        os.unlink(cls.root + ".secret")

    def setUp(self):
        self.ports = []

    def tearDown(self):
        # Every transfer that started reports exactly one end, on whatever path it took.
        for port in self.ports:
            starts = len(self.server.events_for(port, 2))
            if starts:
                self.server.wait_event(port, 4, count=starts, timeout=15.0)
            time.sleep(0.2)  # a second end event would come now
            self.assertEqual(starts, len(self.server.events_for(port, 4)),
                             "start and end events of client port %d" % port)

    def client(self):
        c = Client(self.server)
        self.addCleanup(c.close)
        self.ports.append(c.port)
        return c

    def test_oack_and_first_block(self):
        c = self.client()
        c.send_request(rrq("big.bin", opts=[("tsize", 0), ("blksize", 1456)]))
        opcode, body = c.recv()
        self.assertEqual(OACK, opcode)
        self.assertEqual(b"blksize\x001456\x00tsize\x0020000\x00", body)
        c.send(ack(0))
        block, data = c.recv_data()
        self.assertEqual((1, self.files["big.bin"][:1456]), (block, data))

    def test_error_8_after_oack_ends_the_transfer(self):
        c = self.client()
        c.send_request(rrq("big.bin", opts=[("tsize", 0)]))
        self.assertEqual(OACK, c.recv()[0])
        c.send(struct.pack("!HH", ERROR, 8) + b"no\0")
        self.assertIsNone(c.recv(timeout=2.5), "no retransmission after the refusal")
        ends = self.server.events_for(c.port, 4)
        self.assertEqual(1, len(ends))
        # Its own result: the client table must not show the refusal as a failed download.
        self.assertEqual("result=0x200d", ends[0][6])
        self.assertEqual(1, len(self.server.events_for(c.port, 2)))
        # The same client asks again without options: a new transfer.
        c.peer = None
        c.send_request(rrq("big.bin"))
        self.assertEqual(1, c.recv_data()[0])
        self.assertIsNotNone(self.server.wait_event(c.port, 2, count=2))

    def test_silent_client_gets_the_retransmissions_then_times_out(self):
        c = self.client()
        c.send_request(rrq("big.bin"))
        sent = []
        while True:
            got = c.recv(timeout=2.5)
            if got is None:
                break
            self.assertEqual(DATA, got[0])
            sent.append((struct.unpack("!H", got[1][:2])[0], time.time()))
        self.assertEqual([1] * 5, [b for b, _ in sent], "the first send and four retransmissions")
        gaps = [b[1] - a[1] for a, b in zip(sent, sent[1:])]
        for gap in gaps:
            self.assertGreater(gap, 0.8)
        event = self.server.wait_event(c.port, 4)
        self.assertIsNotNone(event)
        self.assertEqual("result=0x2008", event[6])
        self.assertEqual("sent=512", event[5])

    def test_duplicate_ack(self):
        c = self.client()
        c.send_request(rrq("big.bin"))
        self.assertEqual(1, c.recv_data()[0])
        c.send(ack(1))
        self.assertEqual(2, c.recv_data()[0])
        c.send(ack(1))
        self.assertIsNone(c.recv(timeout=0.5), "a duplicate ACK is ignored")
        # The transfer goes on to its end.
        for block in range(2, 40):
            c.send(ack(block))
            got_block, data = c.recv_data()
            self.assertEqual(block + 1, got_block)
            if len(data) < 512:
                c.send(ack(got_block))
                break
        event = self.server.wait_event(c.port, 4)
        self.assertEqual(["size=20000", "sent=20000", "result=0x0"], event[4:7])

    def test_repeated_acks_do_not_hold_back_the_retransmission(self):
        # Block 2 is lost on the way, and the client repeats its ACK of block 1 more often than
        # the server's one-second time-out: the time-out still runs from the send of block 2.
        c = self.client()
        c.send_request(rrq("big.bin"))
        self.assertEqual(1, c.recv_data()[0])
        c.send(ack(1))
        self.assertEqual(2, c.recv_data()[0])
        sent = time.time()
        got = None
        while got is None and time.time() - sent < 3.0:
            c.send(ack(1))
            got = c.recv(timeout=0.3)
        self.assertIsNotNone(got, "no retransmission while the client repeated its ACK")
        self.assertEqual(2, struct.unpack("!H", got[1][:2])[0])
        self.assertLess(time.time() - sent, 1.8)
        c.send(ack(2))
        self.assertEqual(3, c.recv_data()[0])

    def test_transfer_errors_end_the_transfer(self):
        # Mid-transfer, the client sends what no sender expects.
        for bad in (struct.pack("!HH", DATA, 1) + b"x", struct.pack("!HH", ERROR, 0) + b"stop\0",
                    struct.pack("!H", ACK)):
            with self.subTest(bad=bad):
                c = self.client()
                c.send_request(rrq("big.bin"))
                self.assertEqual(1, c.recv_data()[0])
                c.send(bad)
                self.assertIsNotNone(self.server.wait_event(c.port, 4))

    def test_links_out_of_the_root_and_corrupt_files_are_not_served(self):
        cases = [("link/shadow", 1), ("shadowlink", 1), ("inlink/in.cfg", None)]
        if os.path.exists(self.corrupt):
            cases += [("ISO1/big.cfg", 1), ("ISO1/ok.cfg", None)]
        for name, code in cases:
            with self.subTest(name=name):
                c = self.client()
                c.send_request(rrq(name))
                if code is None:
                    self.assertEqual(1, c.recv_data()[0])
                    c.send(ack(1))
                else:
                    self.assertEqual(code, error_of(c.recv())[0])

    def test_exact_multiple_ends_with_empty_block(self):
        c = self.client()
        c.send_request(rrq("three.bin"))
        blocks = []
        while True:
            block, data = c.recv_data()
            blocks.append((block, len(data)))
            c.send(ack(block))
            if len(data) < 512:
                break
        self.assertEqual([(1, 512), (2, 512), (3, 512), (4, 0)], blocks)
        event = self.server.wait_event(c.port, 4)
        self.assertIsNotNone(event)
        self.assertEqual(["size=1536", "sent=1536", "result=0x0"], event[4:7])

    def test_block_numbers_wrap(self):
        c = self.client()
        c.send_request(rrq("wrap.bin", opts=[("blksize", 8)]))
        self.assertEqual(OACK, c.recv()[0])
        c.send(ack(0))
        digest = hashlib.sha256()
        expect = 1
        seen_wrap = False
        while True:
            block, data = c.recv_data()
            self.assertEqual(expect & 0xFFFF, block)
            if block == 0 and not seen_wrap:
                seen_wrap = True
                # A wrapped block 0 is resent as DATA, never as the OACK.
                self.assertEqual((0, data), c.recv_data(timeout=2.5))
            digest.update(data)
            c.send(ack(block))
            expect += 1
            if len(data) < 8:
                break
        self.assertTrue(seen_wrap)
        self.assertEqual(65537, expect - 1)
        self.assertEqual(hashlib.sha256(self.files["wrap.bin"]).hexdigest(), digest.hexdigest())
        event = self.server.wait_event(c.port, 4)
        self.assertEqual("result=0x0", event[6])

    def fetch_window(self, c, window, blksize, first=1):
        """RFC 7440 receiver from block `first` on: acks each full window and the last block;
        returns the data. Blocks must come in order."""
        got = bytearray()
        expect = first
        acked = first - 1
        while True:
            block, data = c.recv_data()
            self.assertEqual(expect & 0xFFFF, block)
            got += data
            if expect - acked == window or len(data) < blksize:
                c.send(ack(expect))
                acked = expect
            if len(data) < blksize:
                return bytes(got)
            expect += 1

    def window_of(self, c, first_wait=0.5):
        """The blocks that come before the client answers: [(block, data)]."""
        blocks = []
        while True:
            got = c.recv(timeout=0.5 if blocks else first_wait)
            if got is None:
                return blocks
            self.assertEqual(DATA, got[0])
            blocks.append((struct.unpack("!H", got[1][:2])[0], got[1][2:]))

    def test_windowsize_negotiation(self):
        # (asked, in the OACK, blocks sent before the first ACK)
        for asked, answered, window in (("4", b"4", 4), ("100", b"64", 64), ("0", None, 1),
                                        ("abc", None, 1), ("-3", None, 1)):
            with self.subTest(windowsize=asked):
                c = self.client()
                c.send_request(rrq("big.bin", opts=[("tsize", 0), ("blksize", 128),
                                                    ("windowsize", asked)]))
                opcode, body = c.recv()
                self.assertEqual(OACK, opcode)
                expected = b"blksize\x00128\x00tsize\x0020000\x00"
                if answered is not None:
                    expected += b"windowsize\x00" + answered + b"\x00"
                self.assertEqual(expected, body)
                c.send(ack(0))
                self.assertEqual(list(range(1, window + 1)), [b for b, _ in self.window_of(c)])
                c.send(struct.pack("!HH", ERROR, 0) + b"enough\0")
        # Only a window the server cannot use: no OACK at all, block 1 as without options.
        c = self.client()
        c.send_request(rrq("big.bin", opts=[("windowsize", 0)]))
        self.assertEqual([1], [b for b, _ in self.window_of(c)])
        c.send(struct.pack("!HH", ERROR, 0) + b"enough\0")

    def test_windowsize_whole_files(self):
        # Short last block, empty last block, and block numbers wrapping inside a window.
        for name, blksize, window in (("big.bin", 512, 4), ("three.bin", 512, 4),
                                      ("wrap.bin", 8, 16)):
            with self.subTest(name=name, window=window):
                c = self.client()
                c.send_request(rrq(name, opts=[("blksize", blksize), ("windowsize", window)]))
                self.assertEqual(OACK, c.recv()[0])
                c.send(ack(0))
                data = self.fetch_window(c, window, blksize)
                self.assertEqual(hashlib.sha256(self.files[name]).hexdigest(),
                                 hashlib.sha256(data).hexdigest())
                self.assertIsNone(c.recv(timeout=0.3), "nothing after the last ACK")
                size = len(self.files[name])
                event = self.server.wait_event(c.port, 4)
                self.assertEqual(["size=%d" % size, "sent=%d" % size, "result=0x0"], event[4:7])

    def test_windowsize_lost_and_early_acks(self):
        c = self.client()
        c.send_request(rrq("big.bin", opts=[("windowsize", 4)]))
        self.assertEqual(OACK, c.recv()[0])
        c.send(ack(0))
        whole = self.files["big.bin"]

        def part(first, last):
            return [(b, whole[(b - 1) * 512:b * 512]) for b in range(first, last + 1)]

        self.assertEqual(part(1, 4), self.window_of(c))
        c.send(ack(4))
        started = time.time()
        self.assertEqual(part(5, 8), self.window_of(c))
        # The ACK of block 8 is lost: after the time-out the window after block 4 comes again.
        self.assertEqual(part(5, 8), self.window_of(c, first_wait=2.5))
        self.assertGreater(time.time() - started, 0.8)
        # Block 7 was lost: the ACK of 6 brings the window from 7 at once. An ACK of a block
        # already acknowledged, or one never sent, changes nothing (well before the time-out,
        # which runs from the send of the window).
        c.send(ack(6))
        self.assertEqual(part(7, 10), [c.recv_data() for _ in range(4)])
        c.send(ack(4))
        c.send(ack(30))
        self.assertEqual([], self.window_of(c, first_wait=0.4))
        c.send(ack(10))
        rest = self.fetch_window(c, 4, 512, first=11)
        self.assertEqual(whole[10 * 512:], rest)
        event = self.server.wait_event(c.port, 4)
        self.assertEqual(["size=20000", "sent=20000", "result=0x0"], event[4:7])

    def test_write_request_is_refused(self):
        c = self.client()
        c.send_request(rrq("new.bin", opcode=WRQ))
        self.assertEqual((2, "Access violation"), error_of(c.recv()))

    def test_repeated_request_is_dropped(self):
        c = self.client()
        c.send_request(rrq("big.bin"))
        self.assertEqual(1, c.recv_data()[0])
        c.send_request(rrq("big.bin"))
        self.assertIsNone(c.recv(timeout=0.6))
        c.send(ack(1))
        self.assertEqual(2, c.recv_data()[0])
        self.assertEqual(1, len(self.server.events_for(c.port, 2)))

    def test_refusals_and_malformed_requests(self):
        name = "../" + os.path.basename(self.root) + ".secret"
        cases = [
            (rrq(name), (2, "Access violation")),
            (rrq("sub\\..\\..\\x"), (2, "Access violation")),
            (rrq("missing.bin"), (1, "File not found")),
            (rrq("big.bin", mode="binary"),
             (8, "Transfer should be terminated due to option negotiation")),
            (b"\x00\x01x", (4, "Illegal TFTP operation")),
            (b"\x00\x01big.bin\x00octet", (4, "Illegal TFTP operation")),
            (rrq("big.bin") + b"blksize\0", (4, "Illegal TFTP operation")),
            (rrq("big.bin", opts=[("blksize", 7)]), (4, "Illegal TFTP operation")),
            (rrq("big.bin", opts=[("timeout", 256)]), (4, "Illegal TFTP operation")),
            (rrq("big.bin", opts=[("x" * (513 - len(rrq("big.bin")) - 3), 1)]), (4, "Illegal TFTP operation")),
        ]
        self.assertEqual(513, len(cases[-1][0]))
        for pkt, expected in cases:
            with self.subTest(pkt=pkt[:40]):
                c = self.client()
                c.send_request(pkt)
                self.assertEqual(expected, error_of(c.recv()))
        for name in (name, "missing.bin"):
            c = self.client()
            c.send_request(rrq(name))
            error_of(c.recv())
            event = self.server.wait_event(c.port, 1)
            self.assertIsNotNone(event)
            self.assertEqual("result=0x2004", event[6])
        # Not a request, or too short to hold an opcode: no answer at all.
        for pkt in (ack(1), b"\x00", b""):
            c = self.client()
            c.send_request(pkt)
            self.assertIsNone(c.recv(timeout=0.5))
        # The service is unharmed.
        c = self.client()
        c.send_request(rrq("big.bin"))
        self.assertEqual(1, c.recv_data()[0])


class RawTftpSinglePort(RawTftp):
    single = True


if __name__ == "__main__":
    SERVER = sys.argv.pop(1)
    unittest.main(verbosity=2)

"""The benchmark scripts' tools: what they measure with must be right before any figure is."""
import gzip
import json
import os
import socket
import tempfile
import threading
import time
import unittest

import installer_driver
import package_maker
from link_emulator import Link
from publisher_bench import ensure_package, preparation_done


class EchoServer:
    """Echoes every connection's bytes back on 127.0.0.1, one thread per connection."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            while data := conn.recv(65536):
                conn.sendall(data)

    def close(self):
        self.sock.close()


def round_trip(port, payload):
    """Sends payload, half-closes, returns all that comes back."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        threading.Thread(target=lambda: (s.sendall(payload), s.shutdown(socket.SHUT_WR)), daemon=True).start()
        got = bytearray()
        while data := s.recv(65536):
            got += data
        return bytes(got)


class LinkTest(unittest.TestCase):
    def setUp(self):
        self.echo = EchoServer()
        self.addCleanup(self.echo.close)

    def test_bytes_cross_intact_and_are_counted_each_way(self):
        link = Link()
        self.addCleanup(link.close)
        port = link.route(self.echo.port)
        payloads = [os.urandom(3 * 2**20 + 17), b"x", os.urandom(70000)]
        for payload in payloads:
            self.assertEqual(round_trip(port, payload), payload)
        total = sum(map(len, payloads))
        self.assertEqual(link.counted(), (total, total))

    def test_a_limited_link_is_never_faster_than_its_line_and_delay(self):
        # 8 Mbit/s is 1 MB/s: 300 kB each way over one shared line per direction, plus 50 ms each way.
        link = Link(mbit=8, delay_ms=50)
        self.addCleanup(link.close)
        port = link.route(self.echo.port)
        payload = os.urandom(300_000)
        began = time.monotonic()
        self.assertEqual(round_trip(port, payload), payload)
        # The echo overlaps the two directions, so the floor is one line's time plus both delays.
        self.assertGreaterEqual(time.monotonic() - began, 0.3 + 0.1)

    def test_connections_share_the_line(self):
        link = Link(mbit=8)
        self.addCleanup(link.close)
        port = link.route(self.echo.port)
        payload = os.urandom(200_000)
        results = []
        began = time.monotonic()
        threads = [threading.Thread(target=lambda: results.append(round_trip(port, payload))) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [payload, payload])
        self.assertGreaterEqual(time.monotonic() - began, 0.4)  # 400 kB through one 1 MB/s line

    def test_a_route_to_a_closed_port_closes_the_client(self):
        link = Link()
        self.addCleanup(link.close)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = s.getsockname()[1]
        # Closed before it read the client's bytes, the link's socket answers them with a reset.
        try:
            got = round_trip(link.route(closed), b"hello")
        except ConnectionResetError:
            got = b""
        self.assertEqual(got, b"")


class PackageTest(unittest.TestCase):
    def test_half_executables_half_random_with_the_config_folder(self):
        with tempfile.TemporaryDirectory() as tmp:
            pkg = os.path.join(tmp, "pkg")
            package_maker.make_package(pkg, 16)
            modules = os.path.join(pkg, "modules")
            self.assertEqual(package_maker.tree_bytes(modules), 16 * 2**20 + len(b"[terminal]\r\nbenchmark=1\r\n"))
            binaries = package_maker.tree_bytes(os.path.join(pkg, package_maker.BINARIES))
            self.assertEqual(binaries, package_maker.tree_bytes(os.path.join(pkg, package_maker.RANDOM)))
            with open(os.path.join(pkg, package_maker.BINARIES, "part000.bin"), "rb") as f:
                self.assertIn(b"\x7fELF", f.read(2**20))
            with open(os.path.join(pkg, "package.json")) as f:
                folders = [m["folder"] for m in json.load(f)["modules"]]
            for folder in folders:
                self.assertTrue(os.path.isdir(os.path.join(pkg, folder)), folder)
            self.assertEqual(sorted(os.path.dirname(p) for p in
                                    (package_maker.BINARIES, package_maker.RANDOM, package_maker.CONFIG)),
                             sorted(folders))

    def test_the_gzip_tree_holds_each_file_and_its_gzip_copy_and_is_made_once(self):
        with tempfile.TemporaryDirectory() as work:
            pkg, gz = ensure_package(work, 16)
            modules = os.path.join(pkg, "modules")
            for rel in package_maker.files_below(modules):
                with open(os.path.join(modules, rel), "rb") as f:
                    original = f.read()
                with open(os.path.join(gz, rel), "rb") as f:
                    self.assertEqual(f.read(), original, rel)
                with gzip.open(os.path.join(gz, rel + ".gz")) as f:
                    self.assertEqual(f.read(), original, rel)
            stamps = {rel: os.stat(os.path.join(gz, rel)).st_mtime_ns for rel in package_maker.files_below(gz)}
            self.assertEqual(ensure_package(work, 16), (pkg, gz))
            self.assertEqual({rel: os.stat(os.path.join(gz, rel)).st_mtime_ns
                              for rel in package_maker.files_below(gz)}, stamps)

    def test_sizes_that_do_not_split_into_whole_files_are_refused(self):
        for mib in (0, 24, -16):
            with tempfile.TemporaryDirectory() as tmp, self.assertRaises(SystemExit):
                package_maker.make_package(os.path.join(tmp, "pkg"), mib)


class OutputReadersTest(unittest.TestCase):
    def test_preparation_is_done_only_when_said_or_every_file_counts(self):
        self.assertFalse(preparation_done(["serving package 000185 version 12.3: 3 modules", "ready"]))
        self.assertFalse(preparation_done(["Cache\xa3\xbaprepared 3/33 files"]))
        self.assertFalse(preparation_done(["preparing 0 of 0 files"]))
        self.assertFalse(preparation_done(["download 127.0.0.1:4000 done"]))
        self.assertTrue(preparation_done(["x", "Cache\xa3\xbaprepared 33/33 files, 80 MiB"]))
        self.assertTrue(preparation_done(["preparing 12 of 12"]))
        self.assertTrue(preparation_done(["Cache\xa3\xbaPrepareDone"]))
        self.assertTrue(preparation_done(["preparation complete"]))

    def test_the_receive_threads_cpu_is_taken_when_the_driver_gives_it(self):
        plain = installer_driver._pairs("seconds 1.5 bytes 100 peak_rss_kib 9 rss_before_kib 3 cpu_s 0.750")
        self.assertEqual(plain["bytes"], 100)
        self.assertEqual(installer_driver.receive_cpu(plain), (0.75, False))
        threaded = installer_driver._pairs("seconds 1.5 bytes 100 cpu_s 0.75 receive_cpu_s 0.5")
        self.assertEqual(installer_driver.receive_cpu(threaded), (0.5, True))

    def test_the_same_run_ratio_is_read_from_the_drivers_second_line(self):
        out = ("seconds 1.5 bytes 100 peak_rss_kib 9 rss_before_kib 3 cpu_s 0.750\n"
               "receive-thread-cpu-s-per-gb 2.400 codec-cpu-s-per-gb 1.600 ratio 1.50 user-s-per-gb 1.100 "
               "system-s-per-gb 1.300\n")
        figures = installer_driver._pairs(out)
        self.assertEqual(installer_driver.receive_ratio(figures), (2.4, 1.6, 1.5))
        # A per-GB figure is never taken for the thread's seconds.
        self.assertEqual(installer_driver.receive_cpu(figures), (0.75, False))
        first_line_only = installer_driver._pairs(out.splitlines()[0])
        self.assertIsNone(installer_driver.receive_ratio(first_line_only))

    def test_the_codec_cost_is_cpu_time_when_the_driver_gives_it(self):
        wall = installer_driver._pairs("file_bytes 10 message_bytes 12 seconds 0.5 bare_bytes 10 bare_seconds 0.4")
        self.assertEqual(installer_driver.codec_seconds(wall), (0.5, False))
        cpu = installer_driver._pairs("file_bytes 10 seconds 0.5 cpu_s 0.25 bare_bytes 10 bare_cpu_s 0.2")
        self.assertEqual(installer_driver.codec_seconds(cpu), (0.25, True))


if __name__ == "__main__":
    unittest.main()

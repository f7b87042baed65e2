"""The processes a benchmark starts besides its clients, each stopped by its PID: the publisher on free
ports, and nginx (Debian's package, unpacked into the build folder when it is not installed, so that no
system service gets started). Also the native build through the preset and CPU time from /proc."""
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from harness import Failure, stop_process, wait_for

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TICKS = os.sysconf("SC_CLK_TCK")


def build_native(folder, targets):
    """Configures `folder` with the native preset when it has no build yet and builds `targets` there."""
    if not os.path.exists(os.path.join(folder, "build.ninja")):
        subprocess.run(["cmake", "--preset", "native", "-B", folder], cwd=REPO, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)


def cpu_seconds(pid):
    """User and system CPU seconds of a process (all its threads) so far, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()  # the command name may hold spaces
    return (int(fields[11]) + int(fields[12])) / TICKS


def children(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(p) for p in f.read().split()]
        except OSError:
            pass
    return found


def tree_cpu_seconds(pid):
    """CPU seconds of a process and its live children (nginx's master and workers)."""
    return cpu_seconds(pid) + sum(cpu_seconds(child) for child in children(pid))


class BenchPublisher:
    """orvane-publisher on a package, its check and download services on free ports of 127.0.0.1."""

    def __init__(self, exe, package, log_path, switches=(), download_port=0):
        self.log_path = log_path
        self.proc = subprocess.Popen(
            [exe, "--package", package, "--check", "127.0.0.1:0", "--download", f"127.0.0.1:{download_port}",
             "--log", log_path, *switches],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        self.output = []
        ready = queue.Queue()
        threading.Thread(target=self._read, args=(ready,), daemon=True).start()
        try:
            ready.get(timeout=60)
        except queue.Empty:
            pass
        ports = dict(re.findall(r"^(check|download) 127\.0\.0\.1:(\d+)$", "\n".join(self.output), re.M))
        if "ready" not in self.output or len(ports) != 2:
            self.stop()
            raise Failure("the publisher did not get ready: " + " | ".join(self.output))
        self.check_port, self.download_port = int(ports["check"]), int(ports["download"])

    def _read(self, ready):
        for line in self.proc.stdout:
            self.output.append(line.rstrip("\n"))
            if line.strip() == "ready":
                ready.put(True)
        ready.put(False)

    def log_lines(self):
        """The event log and standard output so far, as text; read as Latin-1 so that ASCII words stay
        whole whatever code page the rest of a line is in."""
        try:
            with open(self.log_path, "rb") as f:
                log = f.read().decode("latin-1").splitlines()
        except OSError:
            log = []
        return log + list(self.output)

    def cpu(self):
        return cpu_seconds(self.proc.pid)

    def peak_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

    def stop(self):
        stop_process(self.proc)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def publisher_help(exe):
    return subprocess.run([exe, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout


def nginx_binary(unpack_into):
    """The installed nginx, else the one from Debian's package, unpacked (not installed) below `unpack_into`."""
    installed = shutil.which("nginx")
    if installed:
        return installed
    exe = os.path.join(unpack_into, "root", "usr", "sbin", "nginx")
    if not os.path.exists(exe):
        os.makedirs(unpack_into, exist_ok=True)
        subprocess.run(["apt-get", "download", "nginx"], cwd=unpack_into, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        deb = next(n for n in os.listdir(unpack_into) if n.startswith("nginx_") and n.endswith(".deb"))
        subprocess.run(["dpkg-deb", "-x", os.path.join(unpack_into, deb), os.path.join(unpack_into, "root")],
                       check=True)
    return exe


class Nginx:
    """A private nginx serving `root` on a free port; `workers` 0 runs it as one process, no master."""

    def __init__(self, exe, root, run_dir, port, workers=0, gzip_static=False):
        self.port = port
        os.makedirs(os.path.join(run_dir, "tmp"), exist_ok=True)
        conf = os.path.join(run_dir, "nginx.conf")
        process = f"worker_processes {workers};" if workers else "master_process off;\nworker_processes 1;"
        temp = "\n".join(f"    {kind}_temp_path {run_dir}/tmp/{kind};"
                         for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            f.write(f"""daemon off;
{process}
pid {run_dir}/nginx.pid;
error_log {run_dir}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
{temp}
    types {{ application/octet-stream bin; }}
    {"gzip_static on;" if gzip_static else ""}
    server {{ listen 127.0.0.1:{port}; root {root}; }}
}}
""")
        self.proc = subprocess.Popen([exe, "-p", run_dir, "-c", conf], stderr=subprocess.DEVNULL)

        def answers():
            if self.proc.poll() is not None:
                raise Failure(f"nginx ended at once; see {run_dir}/error.log")
            return subprocess.run(["curl", "-s", "-o", "/dev/null", f"http://127.0.0.1:{port}/"]).returncode == 0

        wait_for(answers, 20, "nginx to answer")

    def cpu(self):
        return tree_cpu_seconds(self.proc.pid)

    def stop(self):
        stop_process(self.proc)


def curl_config(path, port, files, compressed=False):
    """A curl config fetching every file (relative paths) from 127.0.0.1:port over one connection."""
    with open(path, "w") as f:
        if compressed:
            f.write("compressed\n")
        for rel in files:
            f.write(f'url = "http://127.0.0.1:{port}/{rel}"\noutput = "/dev/null"\n')
    return path


def run_curls(config, clients=1):
    """Seconds for `clients` curl processes, each fetching every file of the config, at once."""
    began = time.monotonic()
    procs = []
    try:
        for _ in range(clients):
            procs.append(subprocess.Popen(["curl", "-s", "--fail", "-K", config]))
        failed = [p.wait() for p in procs]
    finally:
        for p in procs:
            stop_process(p)
    seconds = time.monotonic() - began
    if any(failed):
        raise Failure(f"curl failed (exit statuses {failed})")
    return seconds


def note(text):
    print(text, file=sys.stderr, flush=True)


def run_main(main, name):
    """Exits with main()'s status; a failed step of the run ends it with its message and status 1. SIGTERM
    unwinds like an interrupt, so that every process the run started is stopped by its PID."""
    signal.signal(signal.SIGTERM, lambda signum, _frame: sys.exit(128 + signum))
    try:
        sys.exit(main())
    except Failure as failure:
        print(f"{name}: {failure}", file=sys.stderr)
        sys.exit(1)

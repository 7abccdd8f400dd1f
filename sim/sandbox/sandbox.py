#!/usr/bin/python3
"""A throw-away miner control board for running rigkeep (or anything else).

Every sandbox gets its own mount, PID, UTS and network namespaces and a fresh
root directory laid out like the board: the host's /usr behind an overlay (so
fakes can be added), a minimal /etc with the test CA, a private /dev whose
"mem" is a sparse file holding the FPGA identifier words, /proc, empty /tmp,
/config and /www/pages/cgi-bin, recording fakes for the commands that would
touch the real machine (reboot, the init scripts, the kernel-log CGI), the
simulated miner as /usr/bin/bmminer, and an eth0 with an address, a MAC and a
default route in a network namespace that has no way out of the machine.

One "holder" process per sandbox sits as PID 1 of the new PID namespace.
When it dies the kernel kills everything inside and the namespaces (and with
them every mount) disappear.  It dies when the owning process closes the
sandbox, and also when the owning process dies in any way, SIGKILL included:
it blocks on a pipe whose only write end lives in the owner.  (A child the
owner forks without exec inherits that end and keeps the sandbox alive; a
thread moved into the network namespace keeps that namespace alone alive.)

The fakes append "<name> <args...>" to /sim/calls.log, outside every device
path; /sim also holds the miner's files.  Directories of owners that died
without cleaning up are removed by the next sandbox made on the machine.

As a module:

    with Sandbox(default_route=False) as sb:
        sb.install("/usr/bin/rigkeep", open("build/rigkeep", "rb").read())
        proc = sb.spawn(["rigkeep", "-c", "/config/velmora.json"])
        ...
        print(sb.calls())

As a program:

    /usr/bin/python3 sim/sandbox/sandbox.py [options] -- PROGRAM ARGS...

Needs root (mount and namespace privileges), util-linux and iproute2.
"""

import argparse
import atexit
import ctypes
import errno
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import weakref

HOST_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") \
    else sys.executable
UNSHARE = shutil.which("unshare", path="/usr/bin:/bin:/usr/sbin:/sbin") \
    or "unshare"
NSENTER = shutil.which("nsenter", path="/usr/bin:/bin:/usr/sbin:/sbin") \
    or "nsenter"
IP = shutil.which("ip", path="/usr/sbin:/sbin:/usr/bin:/bin") or "ip"
OPENSSL = shutil.which("openssl", path="/usr/bin:/bin") or "openssl"

TMP_PREFIX = "rigkeep-sandbox-"
SANDBOX_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"

DEFAULT_SERVICE_HOST = "api.velmora.example"
DEFAULT_MAC = "02:52:4b:00:00:01"
ETH0_ADDRESS = "192.0.2.10/24"
GATEWAY = "192.0.2.1"
NAME_SERVERS = ("192.0.2.53", "192.0.2.54", "192.0.2.55")
PEER_IFACE = "veth-gw"

FPGA_BASE = 0x43C00000
FPGA_WINDOW = 0x170
FPGA_WORDS = FPGA_WINDOW // 4
DEFAULT_FPGA_WORDS = {60: 0x1234ABCD, 61: 0x0BADF00D}
# Big enough to map the register window (one page from FPGA_BASE); sparse,
# so it costs a few blocks of disk.
DEV_MEM_SIZE = FPGA_BASE + 0x1000

DEFAULT_KERNEL_LOG = (
    "[    0.000000] Booting Linux on physical CPU 0x0\n"
    "[    0.000000] Linux version 3.14.0-xilinx (sandbox)\n"
    "[    2.310000] macb e000b000.ethernet eth0: link up (100/Full)\n"
    "[    5.120000] fpga: axi fpga registers mapped at 0x43c00000\n"
)

CALL_LOG = "/sim/calls.log"
KERNEL_LOG_TEXT = "/sim/kernel_log.txt"
MINER_DIR = "/sim/miner"

REPO_MINER = os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "miner", "bmminer")

CLONE_NEWNS = 0x00020000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000

MS_RDONLY = 0x1
MS_NOSUID = 0x2
MS_NODEV = 0x4
MS_NOEXEC = 0x8
MS_REMOUNT = 0x20
MS_BIND = 0x1000

_libc = ctypes.CDLL(None, use_errno=True)
_libc.setns.argtypes = (ctypes.c_int, ctypes.c_int)
_libc.mount.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                        ctypes.c_ulong, ctypes.c_char_p)


class SandboxError(RuntimeError):
    pass


def _setns(fd, nstype, what):
    if _libc.setns(fd, nstype) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"setns({what}): {os.strerror(err)}")


def enter_netns(path):
    """Moves the calling thread (only it) into the network namespace at path.

    Sockets the thread opens afterwards live there, so a reference service
    run in a thread can listen on the sandbox's 127.0.0.1.
    """
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        _setns(fd, CLONE_NEWNET, path)
    finally:
        os.close(fd)


# Availability.

_unavailable = None


def unavailable_reason():
    """None when sandboxes can be made here, else one line saying why not."""
    global _unavailable
    if _unavailable is not None:
        return _unavailable or None
    reason = ""
    if os.geteuid() != 0:
        reason = "device sandbox needs root (namespaces, mounts, chroot)"
    else:
        for tool in (UNSHARE, NSENTER, IP):
            if not os.path.isabs(tool):
                reason = (f"device sandbox needs '{tool}' "
                          "(util-linux, iproute2)")
                break
    if not reason:
        try:
            r = subprocess.run(
                [UNSHARE, "--mount", "--pid", "--net", "--uts", "--fork",
                 "--propagation", "private", "true"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=20)
            if r.returncode != 0:
                reason = ("device sandbox cannot create namespaces: " +
                          r.stderr.decode(errors="replace").strip())
        except (OSError, subprocess.TimeoutExpired) as e:
            reason = f"device sandbox cannot create namespaces: {e}"
    _unavailable = reason
    return reason or None


# Certificates.

_cert_cache = {}
_cert_lock = threading.Lock()

_CA_EXT = """[req]
distinguished_name = dn
[dn]
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""

_SERVER_EXT = """[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:{host}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""

# "openssl x509 -days" refuses the past, "openssl ca" takes explicit dates.
_CA_DB = """[ca]
default_ca = ca_default
[ca_default]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no
[policy_any]
commonName = supplied
"""


def _openssl(*args, cwd):
    r = subprocess.run([OPENSSL, *args], cwd=cwd, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise SandboxError(f"openssl {' '.join(args)} failed: "
                           f"{r.stderr.decode(errors='replace').strip()}")


def _new_key(d, name):
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-out", name, cwd=d)
    os.chmod(os.path.join(d, name), 0o600)


def _new_ca(d, name, cn):
    _new_key(d, f"{name}.key")
    _openssl("req", "-new", "-x509", "-config", "ca.cnf", "-extensions",
             "ca_ext", "-key", f"{name}.key", "-subj", f"/CN={cn}",
             "-days", "3650", "-sha256", "-out", f"{name}.pem", cwd=d)


def _new_server(d, name, ca, host, expired=False):
    _new_key(d, f"{name}.key")
    _openssl("req", "-new", "-config", "ca.cnf", "-key", f"{name}.key",
             "-subj", f"/CN={host}", "-out", f"{name}.csr", cwd=d)
    if expired:
        _openssl("ca", "-batch", "-config", "cadb.cnf", "-notext",
                 "-cert", f"{ca}.pem", "-keyfile", f"{ca}.key",
                 "-in", f"{name}.csr", "-out", f"{name}.pem",
                 "-startdate", "20200101000000Z",
                 "-enddate", "20200201000000Z",
                 "-extfile", "server.cnf", "-extensions", "server_ext", cwd=d)
    else:
        _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem",
                 "-CAkey", f"{ca}.key", "-CAcreateserial", "-days", "825",
                 "-sha256", "-extfile", "server.cnf", "-extensions",
                 "server_ext", "-out", f"{name}.pem", cwd=d)
    os.unlink(os.path.join(d, f"{name}.csr"))


def make_certs(directory, host=DEFAULT_SERVICE_HOST):
    """Test PKI for the service host, made once per (directory, host).

    Returns a dict of absolute paths:
      ca_cert, ca_key              the test CA (what the device trusts)
      server_cert, server_key      valid for host, signed by the test CA
      expired_cert, expired_key    signed by the test CA, expired in 2020
      other_ca_cert                an unrelated CA
      other_cert, other_key        valid for host, signed by the other CA
    """
    directory = os.path.abspath(directory)
    key = (directory, host)
    with _cert_lock:
        if key in _cert_cache and all(
                os.path.exists(p) for p in _cert_cache[key].values()):
            return dict(_cert_cache[key])
        d = os.path.join(directory, host)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "ca.cnf"), "w") as f:
            f.write(_CA_EXT)
        with open(os.path.join(d, "server.cnf"), "w") as f:
            f.write(_SERVER_EXT.format(host=host))
        with open(os.path.join(d, "cadb.cnf"), "w") as f:
            f.write(_CA_DB.format(dir=d))
        with open(os.path.join(d, "index.txt"), "w"):
            pass
        with open(os.path.join(d, "serial"), "w") as f:
            f.write("1000\n")
        _new_ca(d, "ca", "rigkeep test CA")
        _new_ca(d, "other-ca", "rigkeep other CA")
        _new_server(d, "server", "ca", host)
        _new_server(d, "expired", "ca", host, expired=True)
        _new_server(d, "other", "other-ca", host)
        paths = {
            "ca_cert": "ca.pem", "ca_key": "ca.key",
            "server_cert": "server.pem", "server_key": "server.key",
            "expired_cert": "expired.pem", "expired_key": "expired.key",
            "other_ca_cert": "other-ca.pem",
            "other_cert": "other.pem", "other_key": "other.key",
        }
        paths = {k: os.path.join(d, v) for k, v in paths.items()}
        _cert_cache[key] = paths
        return dict(paths)


_default_cert_dir = None


def _default_certs(host):
    """Certificates for sandboxes made without a CA file (CLI, ad-hoc use)."""
    global _default_cert_dir
    if _default_cert_dir is None:
        # Named and owned like a sandbox directory, so a run killed before
        # its atexit hooks still gets it cleaned up by the next one.
        _default_cert_dir = tempfile.mkdtemp(prefix=TMP_PREFIX + "certs-")
        _write_owner(_default_cert_dir)
        atexit.register(shutil.rmtree, _default_cert_dir, True)
    return make_certs(_default_cert_dir, host)


# Process identity (pid plus start time, so a reused pid is not mistaken).

def _start_time(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
        return int(stat[stat.rindex(b")") + 2:].split()[19])
    except (OSError, ValueError, IndexError):
        return None


def _write_owner(directory):
    pid = os.getpid()
    with open(os.path.join(directory, "owner"), "w") as f:
        f.write(f"{pid} {_start_time(pid)}\n")


def _alive(pid, start_time):
    st = _start_time(pid)
    return st is not None and st == start_time


def remove_stale_dirs(tmpdir=None):
    """Removes sandbox directories whose owning process is gone.

    A SIGKILLed owner cannot clean up; its holder dies with it (and with the
    holder every mount), so only plain files are left to delete.
    """
    tmpdir = tmpdir or tempfile.gettempdir()
    try:
        names = os.listdir(tmpdir)
    except OSError:
        return []
    removed = []
    for name in names:
        if not name.startswith(TMP_PREFIX):
            continue
        d = os.path.join(tmpdir, name)
        try:
            with open(os.path.join(d, "owner")) as f:
                pid, st = (int(x) for x in f.read().split()[:2])
            stale = not _alive(pid, st)
        except (OSError, ValueError):
            # Being set up right now, or broken long ago.
            try:
                stale = time.time() - os.lstat(d).st_mtime > 300
            except OSError:
                stale = False
        if stale:
            shutil.rmtree(d, ignore_errors=True)
            removed.append(d)
    return removed


# Tracking of live sandboxes for atexit and signals.

_live = weakref.WeakSet()
_hooks_installed = False
_prev_handlers = {}


def close_all():
    for sb in list(_live):
        try:
            sb.close()
        except Exception:  # noqa: BLE001 - best effort on the way out
            pass


def _on_signal(signum, frame):
    close_all()
    prev = _prev_handlers.get(signum, signal.SIG_DFL)
    if callable(prev):
        prev(signum, frame)
        return
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _install_hooks():
    global _hooks_installed
    if _hooks_installed:
        return
    _hooks_installed = True
    atexit.register(close_all)
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGTERM, signal.SIGINT):
        prev = signal.getsignal(signum)
        if prev in (signal.SIG_IGN, None):
            continue
        _prev_handlers[signum] = prev
        signal.signal(signum, _on_signal)


# The fakes.

def _recorder(name, body=""):
    return ("#!/bin/sh\n"
            f"# Fake {name}: records the call and succeeds.\n"
            f'printf \'%s\\n\' "{name}${{*:+ $*}}" >> {CALL_LOG}\n'
            f"{body}"
            "exit 0\n")


FAKES = {
    "/usr/sbin/reboot": _recorder("reboot"),
    "/etc/init.d/network.sh": _recorder("network.sh"),
    "/etc/init.d/rigkeep.sh": _recorder("rigkeep.sh"),
    "/www/pages/cgi-bin/get_kernel_log.cgi": _recorder(
        "get_kernel_log.cgi", f"cat {KERNEL_LOG_TEXT}\n"),
}


class Sandbox:
    """One simulated control board, made by start() (or `with`, or the
    first use) and destroyed by close().

    service_host   mapped to 127.0.0.1 in /etc/hosts
    default_route  False: eth0 without a default route
    dev_mem        False: no /dev/mem at all
    fpga_words     {index: value} (or (word60, word61)) over the defaults
    name_servers   how many of 192.0.2.53/.54/.55 /etc/resolv.conf lists
    config_size    bytes: /config is a tmpfs of that size (fills up)
    miner          False: no /usr/bin/bmminer; miner_path: another program
                   (default sim/miner/bmminer, installed when present)
    kernel_log     what get_kernel_log.cgi prints
    ca_file        the device's trust anchor; None: a test CA for
                   service_host; False: none
    system_ca      a CA put into the system's store (ca-certificates.crt
                   and its hashed link), where TLS libraries look by default
    eth0_mac       eth0's hardware address
    files          {device path: text or bytes} to put in before start
    """

    def __init__(self, service_host=DEFAULT_SERVICE_HOST, default_route=True,
                 dev_mem=True, fpga_words=None, name_servers=2,
                 config_size=None, miner=True, kernel_log=DEFAULT_KERNEL_LOG,
                 ca_file=None, eth0_mac=DEFAULT_MAC, miner_path=None,
                 files=None, system_ca=None):
        if name_servers not in (0, 1, 2, 3):
            raise ValueError("name_servers must be 0 to 3")
        self.service_host = service_host
        self.default_route = default_route
        self.dev_mem = dev_mem
        self.fpga_words = dict(DEFAULT_FPGA_WORDS)
        if fpga_words is not None:
            if isinstance(fpga_words, dict):
                self.fpga_words.update(fpga_words)
            else:
                self.fpga_words.update(zip((60, 61), fpga_words))
        for index, value in self.fpga_words.items():
            if not 0 <= index < FPGA_WORDS or not 0 <= value <= 0xFFFFFFFF:
                raise ValueError(f"bad FPGA word {index}={value:#x}")
        self.name_servers = name_servers
        self.config_size = config_size
        self.miner = miner
        self.miner_path = miner_path or REPO_MINER
        self._miner_required = miner_path is not None
        self.kernel_log = kernel_log
        self.ca_file = ca_file
        self.system_ca = system_ca
        self.eth0_mac = eth0_mac
        self._staged = []  # (device path, bytes, mode) before start
        self.tmpdir = None
        self.root = None
        self.holder_pid = None
        self._unshare = None
        self._lifeline = None
        self._children = []
        self._children_lock = threading.Lock()
        self._started = False
        self._closed = False
        self._close_lock = threading.Lock()
        self._final_calls = None
        for path, content in (files or {}).items():
            self.install(path, content, 0o644)

    # Life cycle.

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001
            pass

    @property
    def started(self):
        return self._started and not self._closed

    def start(self, timeout=20.0):
        if self._closed:
            raise SandboxError("sandbox already closed")
        if self._started:
            return self
        reason = unavailable_reason()
        if reason:
            raise SandboxError(reason)
        _install_hooks()
        remove_stale_dirs()
        self._started = True
        _live.add(self)
        try:
            self._prepare()
            self._launch(timeout)
        except BaseException:
            self.close()
            raise
        return self

    def _prepare(self):
        self.tmpdir = tempfile.mkdtemp(prefix=TMP_PREFIX)
        _write_owner(self.tmpdir)
        self.root = os.path.join(self.tmpdir, "root")
        upper = os.path.join(self.tmpdir, "usr-upper")
        for d in (self.root, upper, os.path.join(self.tmpdir, "usr-work")):
            os.mkdir(d)

        def put(path, data, mode=0o644):
            # /usr lives in the overlay's upper layer until the mount.
            if path == "/usr" or path.startswith("/usr/"):
                host = os.path.join(upper, path[len("/usr/"):])
            elif self.config_size and path.startswith("/config/"):
                # Copied onto the tmpfs by the holder once it is mounted.
                host = os.path.join(self.tmpdir, "config-seed",
                                    path[len("/config/"):])
            else:
                host = os.path.join(self.root, path.lstrip("/"))
            os.makedirs(os.path.dirname(host), exist_ok=True)
            if isinstance(data, str):
                data = data.encode()
            if os.path.lexists(host):
                os.unlink(host)
            with open(host, "wb") as f:
                f.write(data)
            os.chmod(host, mode)
            return host

        r = self.root
        for d, mode in (("usr", 0o755), ("etc/init.d", 0o755),
                        ("etc/ssl/certs", 0o755), ("dev", 0o755),
                        ("dev/shm", 0o1777), ("proc", 0o555), ("tmp", 0o1777),
                        ("config", 0o755), ("www/pages/cgi-bin", 0o755),
                        ("var/log", 0o755), ("var/tmp", 0o1777),
                        ("run", 0o755), ("root", 0o700), ("sim", 0o755)):
            os.makedirs(os.path.join(r, d), exist_ok=True)
            os.chmod(os.path.join(r, d), mode)
        # Merged /usr: the same links as the host.  Where the host keeps a
        # real /lib64 or so, the holder binds it read-only.
        self._host_dirs = []
        for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
            host = os.path.join("/", name)
            if os.path.islink(host):
                os.symlink(os.readlink(host), os.path.join(r, name))
            elif os.path.isdir(host):
                os.mkdir(os.path.join(r, name))
                self._host_dirs.append(host)

        # /etc
        hosts = "127.0.0.1 localhost\n"
        if self.service_host:
            hosts += f"127.0.0.1 {self.service_host}\n"
        put("/etc/hosts", hosts)
        put("/etc/hostname", "antMiner\n")
        put("/etc/resolv.conf", "".join(
            f"nameserver {ns}\n" for ns in NAME_SERVERS[:self.name_servers]))
        put("/etc/nsswitch.conf",
            "passwd: files\ngroup: files\nshadow: files\nhosts: files dns\n"
            "networks: files\nprotocols: files\nservices: files\n")
        put("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"
            "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n")
        put("/etc/group", "root:x:0:\nnogroup:x:65534:\n")
        for name in ("ld.so.cache", "ld.so.conf", "services", "protocols"):
            if os.path.isfile(f"/etc/{name}"):
                shutil.copyfile(f"/etc/{name}", os.path.join(r, "etc", name))
        if os.path.isdir("/etc/ld.so.conf.d"):
            shutil.copytree("/etc/ld.so.conf.d",
                            os.path.join(r, "etc/ld.so.conf.d"))
        # Debian's alternatives (awk, pager, ...) point through /etc; the
        # holder binds the host's directory here, read-only.
        os.mkdir(os.path.join(r, "etc/alternatives"))
        for tz in ("/usr/share/zoneinfo/Etc/UTC", "/usr/share/zoneinfo/UTC"):
            if os.path.isfile(tz):
                shutil.copyfile(tz, os.path.join(r, "etc/localtime"))
                break
        if os.path.isfile("/etc/ssl/openssl.cnf"):
            shutil.copyfile("/etc/ssl/openssl.cnf",
                            os.path.join(r, "etc/ssl/openssl.cnf"))
        ca = self.ca_file
        if ca is None and self.service_host:
            ca = _default_certs(self.service_host)["ca_cert"]
        if ca:
            shutil.copyfile(ca, os.path.join(
                r, "etc/ssl/certs/letsencryptauthorityx3.pem"))
        if self.system_ca:
            # As update-ca-certificates leaves it: the bundle, and the
            # certificate under its subject hash for directory lookups.
            certs = os.path.join(r, "etc/ssl/certs")
            shutil.copyfile(self.system_ca,
                            os.path.join(certs, "ca-certificates.crt"))
            shutil.copyfile(self.system_ca, os.path.join(certs, "system.pem"))
            digest = subprocess.run(
                [OPENSSL, "x509", "-hash", "-noout", "-in", self.system_ca],
                check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
            os.symlink("system.pem", os.path.join(certs, f"{digest}.0"))

        # /dev: the character devices are bind-mounted over these by the
        # holder; "mem" is a plain sparse file.
        for name in ("null", "zero", "random", "urandom", "tty"):
            put(f"/dev/{name}", b"", 0o666)
        for name, target in (("fd", "/proc/self/fd"),
                             ("stdin", "/proc/self/fd/0"),
                             ("stdout", "/proc/self/fd/1"),
                             ("stderr", "/proc/self/fd/2")):
            os.symlink(target, os.path.join(r, "dev", name))
        if self.dev_mem:
            mem = os.path.join(r, "dev/mem")
            fd = os.open(mem, os.O_CREAT | os.O_WRONLY, 0o600)
            try:
                os.ftruncate(fd, DEV_MEM_SIZE)
                for index, value in self.fpga_words.items():
                    os.pwrite(fd, value.to_bytes(4, "little"),
                              FPGA_BASE + 4 * index)
            finally:
                os.close(fd)

        # Fakes, the call log and the canned kernel log.
        for path, text in FAKES.items():
            put(path, text, 0o755)
        put(CALL_LOG, b"")
        put(KERNEL_LOG_TEXT, self.kernel_log)

        # The miner: its directory goes to /sim/miner (sibling modules come
        # along); /usr/bin/bmminer is a symlink, so the process name stays
        # "bmminer" for killall.
        if self.miner and os.path.isfile(self.miner_path):
            src_dir = os.path.dirname(os.path.abspath(self.miner_path))
            dst_dir = os.path.join(r, MINER_DIR.lstrip("/"))
            shutil.copytree(src_dir, dst_dir, ignore=shutil.ignore_patterns(
                "__pycache__", "*.pyc", "test_*", "tests"))
            os.makedirs(os.path.join(upper, "bin"), exist_ok=True)
            # Relative, so it also resolves through /proc/<pid>/root.
            os.symlink(os.path.join("../..", MINER_DIR.lstrip("/"),
                                    os.path.basename(self.miner_path)),
                       os.path.join(upper, "bin/bmminer"))
        elif self.miner and self._miner_required:
            raise SandboxError(f"miner program {self.miner_path} not found")

        for path, data, mode in self._staged:
            put(path, data, mode)
        self._staged = []

    def _launch(self, timeout):
        conf = {
            "root": self.root,
            "upper": os.path.join(self.tmpdir, "usr-upper"),
            "work": os.path.join(self.tmpdir, "usr-work"),
            "config_size": self.config_size,
            "host_dirs": self._host_dirs,
            "config_seed": os.path.join(self.tmpdir, "config-seed"),
            "mac": self.eth0_mac,
            "default_route": bool(self.default_route),
        }
        conf_path = os.path.join(self.tmpdir, "holder.json")
        with open(conf_path, "w") as f:
            json.dump(conf, f)
        status_r, status_w = os.pipe()
        life_r, life_w = os.pipe()
        self._lifeline = life_w
        log = open(os.path.join(self.tmpdir, "holder.log"), "wb")
        try:
            self._unshare = subprocess.Popen(
                [UNSHARE, "--mount", "--pid", "--net", "--uts", "--fork",
                 "--propagation", "private", "--kill-child=SIGKILL",
                 HOST_PYTHON, "-I", "-S", os.path.abspath(__file__),
                 "--holder", conf_path, str(status_w), str(life_r)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                pass_fds=(status_w, life_r), env={"PATH": SANDBOX_PATH},
                # A terminal's Ctrl-C is for the owner, which closes us.
                process_group=0)
        finally:
            log.close()
            os.close(status_w)
            os.close(life_r)
        # The holder writes one line: "ok <host pid>" or "error <text>".
        reply = b""
        deadline = time.monotonic() + timeout
        try:
            while not reply.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([status_r], [], [], left)[0]:
                    raise SandboxError("sandbox holder did not come up in "
                                       f"{timeout:.0f} s{self._holder_log()}")
                chunk = os.read(status_r, 256)
                if not chunk:
                    break
                reply += chunk
        finally:
            os.close(status_r)
        words = reply.decode(errors="replace").strip().split(None, 1)
        if not words or words[0] != "ok":
            text = words[1] if len(words) > 1 else "holder exited"
            raise SandboxError(f"sandbox setup failed: {text}"
                               f"{self._holder_log()}")
        self.holder_pid = int(words[1])

    def _holder_log(self):
        try:
            with open(os.path.join(self.tmpdir, "holder.log"), "rb") as f:
                text = f.read().decode(errors="replace").strip()
        except OSError:
            return ""
        return f"\n{text}" if text else ""

    def close(self):
        """Kills everything inside and removes every trace; idempotent."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
        _live.discard(self)
        if not self._started:
            return
        try:
            self._final_calls = self._read_calls()
        except OSError:
            self._final_calls = []
        if self._lifeline is not None:
            os.close(self._lifeline)
            self._lifeline = None
        if self.holder_pid:
            try:
                os.kill(self.holder_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        # The namespace's init only goes away once every process that lived
        # in it has been reaped, ours included.
        with self._children_lock:
            children, self._children = self._children, []
        # Their pipes are left to their readers (which now see EOF).
        for child in children:
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self._unshare is not None:
            try:
                self._unshare.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._unshare.kill()
                self._unshare.wait()
        if self.tmpdir:
            shutil.rmtree(self.tmpdir, ignore_errors=True)

    # Files.

    def _check_live(self):
        if self._closed:
            raise SandboxError("sandbox is closed")
        if not self._started:
            self.start()

    def path(self, device_path):
        """Host path of a device file, valid while the sandbox lives."""
        if not device_path.startswith("/"):
            raise ValueError("device paths are absolute")
        self._check_live()
        return f"/proc/{self.holder_pid}/root{device_path}"

    def read_text(self, device_path):
        with open(self.path(device_path)) as f:
            return f.read()

    def read_bytes(self, device_path):
        with open(self.path(device_path), "rb") as f:
            return f.read()

    def exists(self, device_path):
        return os.path.lexists(self.path(device_path))

    def write_text(self, device_path, text, mode=0o644):
        self._write(device_path, text.encode(), mode)

    def write_bytes(self, device_path, data, mode=0o644):
        self._write(device_path, data, mode)

    def install(self, device_path, content, mode=0o755):
        """Puts a file (text or bytes) at device_path, before or after
        start."""
        if isinstance(content, str):
            content = content.encode()
        if not device_path.startswith("/"):
            raise ValueError("device paths are absolute")
        if not self._started:
            self._staged.append((device_path, bytes(content), mode))
            return
        self._write(device_path, content, mode)

    def _write(self, device_path, data, mode):
        if not self._started:
            self._staged.append((device_path, bytes(data), mode))
            return
        host = self.path(device_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        with open(host, "wb") as f:
            f.write(data)
        os.chmod(host, mode)

    def set_kernel_log(self, text):
        self.kernel_log = text
        self.write_text(KERNEL_LOG_TEXT, text)

    def _read_calls(self):
        with open(os.path.join(self.root, CALL_LOG.lstrip("/"))) as f:
            return [line for line in f.read().splitlines() if line]

    def calls(self):
        """Lines "<name> <args...>" recorded by the fakes, oldest first."""
        if self._closed:
            return list(self._final_calls or [])
        self._check_live()
        return self._read_calls()

    def clear_calls(self):
        self._check_live()
        open(os.path.join(self.root, CALL_LOG.lstrip("/")), "w").close()

    # Network.

    @property
    def netns_fd_path(self):
        self._check_live()
        return f"/proc/{self.holder_pid}/ns/net"

    # Processes.

    def spawn(self, argv, env=None, stdout=subprocess.PIPE,
              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, **kw):
        """Starts argv inside the sandbox; returns its subprocess.Popen.

        The Popen's pid is the program itself (nsenter execs it without a
        fork), a direct child of ours living in the sandbox's PID namespace,
        so signals, wait() and returncode are the program's own.  The pid it
        has inside the sandbox is in `.sandbox_pid`.
        """
        self._check_live()
        if isinstance(argv, str):
            argv = [argv]
        full_env = {"PATH": SANDBOX_PATH, "HOME": "/root"}
        full_env.update(env or {})
        argv = self._emulated(list(argv))
        cmd = [NSENTER, f"--target={self.holder_pid}", "--mount", "--net",
               "--uts", "--root", "--wd", "--", *argv]
        # Children of this thread are born in the sandbox's PID namespace
        # until we switch back.
        own = os.open("/proc/self/ns/pid", os.O_RDONLY | os.O_CLOEXEC)
        target = None
        try:
            target = os.open(f"/proc/{self.holder_pid}/ns/pid",
                             os.O_RDONLY | os.O_CLOEXEC)
            _setns(target, CLONE_NEWPID, "sandbox pid namespace")
            try:
                proc = subprocess.Popen(cmd, env=full_env, stdin=stdin,
                                        stdout=stdout, stderr=stderr, **kw)
            finally:
                _setns(own, CLONE_NEWPID, "own pid namespace")
        except OSError as e:
            if e.errno in (errno.ENOMEM, errno.ENOENT, errno.ESRCH):
                raise SandboxError(f"sandbox is gone: {e}") from e
            raise
        finally:
            os.close(own)
            if target is not None:
                os.close(target)
        _wait_exec(proc)
        proc.sandbox_pid = _ns_pid(proc.pid)
        with self._children_lock:
            self._children = [c for c in self._children
                              if c.returncode is None]
            self._children.append(proc)
        return proc

    def _emulated(self, argv):
        """argv, behind the emulator named by RIGKEEP_EMULATOR (for example
        /usr/bin/qemu-arm-static) when argv[0] is a program built for another
        CPU than this one's; host programs and scripts run as they are."""
        emulator = os.environ.get("RIGKEEP_EMULATOR")
        if not emulator or not argv[0].startswith("/"):
            return argv
        try:
            with open(self.path(argv[0]), "rb") as f:
                machine = _elf_machine(f.read(20))
        except OSError:
            return argv
        if machine is None or machine == _host_machine():
            return argv
        return [emulator, *argv]

    def run(self, argv, timeout=30.0, input=None, check=False, text=True,
            **kw):
        """Runs argv inside the sandbox to its end; a CompletedProcess."""
        if input is not None:
            kw["stdin"] = subprocess.PIPE
        proc = self.spawn(argv, text=text, **kw)
        try:
            out, err = proc.communicate(input=input, timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise
        result = subprocess.CompletedProcess(list(argv), proc.returncode,
                                             out, err)
        if check:
            result.check_returncode()
        return result

    def processes(self):
        """(pid, comm) of every live process inside, the holder excepted."""
        self._check_live()
        proc = self.path("/proc")
        found = []
        for name in os.listdir(proc):
            if not name.isdigit() or name == "1":
                continue
            try:
                with open(f"{proc}/{name}/stat", "rb") as f:
                    stat = f.read()
            except OSError:
                continue
            close = stat.rindex(b")")
            state = stat[close + 2:close + 3]
            if state in (b"Z", b"X"):
                continue
            comm = stat[stat.index(b"(") + 1:close].decode(errors="replace")
            found.append((int(name), comm))
        return sorted(found)

    def threads(self, sandbox_pid):
        """(tid, name) of every thread of a process inside the sandbox."""
        task = self.path(f"/proc/{sandbox_pid}/task")
        found = []
        for tid in os.listdir(task):
            try:
                with open(f"{task}/{tid}/comm") as f:
                    found.append((int(tid), f.read().rstrip("\n")))
            except OSError:
                pass
        return sorted(found)


def _elf_machine(head):
    """e_machine of an ELF header (little-endian), None for anything else."""
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "little")


def _host_machine():
    with open(os.path.realpath(HOST_PYTHON), "rb") as f:
        return _elf_machine(f.read(20))


_nsenter_id = None


def _wait_exec(proc, timeout=10.0):
    """Returns once nsenter has become the program (or has died), so that
    what the caller sees in /proc is the program itself."""
    global _nsenter_id
    if _nsenter_id is None:
        st = os.stat(NSENTER)
        _nsenter_id = (st.st_dev, st.st_ino)
    deadline = time.monotonic() + timeout
    delay = 0.0002
    while proc.poll() is None and time.monotonic() < deadline:
        try:
            st = os.stat(f"/proc/{proc.pid}/exe")
        except OSError:
            return
        if (st.st_dev, st.st_ino) != _nsenter_id:
            return
        time.sleep(delay)
        delay = min(delay * 2, 0.01)


def _ns_pid(host_pid):
    """The innermost pid of a process (as seen in its own PID namespace)."""
    try:
        with open(f"/proc/{host_pid}/status") as f:
            for line in f:
                if line.startswith("NSpid:"):
                    return int(line.split()[-1])
    except (OSError, ValueError):
        pass
    return None


# The holder: PID 1 of the sandbox.

def _mount(src, target, fstype=None, flags=0, data=None):
    enc = (lambda s: s.encode() if s is not None else None)
    if _libc.mount(enc(src), enc(target), enc(fstype), flags, enc(data)) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {src} on {target}: {os.strerror(err)}")


def _holder_main(conf_path, status_fd, life_fd):
    status = os.fdopen(status_fd, "w")
    try:
        with open(conf_path) as f:
            conf = json.load(f)
        # Still the host's /proc here, which names us by our host pid.
        host_pid = int(os.readlink("/proc/self"))
        root = conf["root"]
        _mount("overlay", f"{root}/usr", "overlay", 0,
               f"lowerdir=/usr,upperdir={conf['upper']},"
               f"workdir={conf['work']}")
        for name in ("null", "zero", "random", "urandom", "tty"):
            _mount(f"/dev/{name}", f"{root}/dev/{name}", None, MS_BIND)
        binds = conf["host_dirs"] + (
            ["/etc/alternatives"] if os.path.isdir("/etc/alternatives")
            else [])
        for host in binds:
            _mount(host, f"{root}{host}", None, MS_BIND)
            _mount(None, f"{root}{host}", None,
                   MS_BIND | MS_REMOUNT | MS_RDONLY)
        _mount("shm", f"{root}/dev/shm", "tmpfs",
               MS_NOSUID | MS_NODEV, "mode=1777,size=16m")
        _mount("proc", f"{root}/proc", "proc",
               MS_NOSUID | MS_NODEV | MS_NOEXEC)
        # Host-wide knobs stay out of reach.
        for sub in ("sys", "sysrq-trigger"):
            if not os.path.exists(f"{root}/proc/{sub}"):
                continue
            _mount(f"{root}/proc/{sub}", f"{root}/proc/{sub}", None, MS_BIND)
            _mount(None, f"{root}/proc/{sub}", None,
                   MS_BIND | MS_REMOUNT | MS_RDONLY)
        if conf["config_size"]:
            _mount("config", f"{root}/config", "tmpfs", MS_NOSUID | MS_NODEV,
                   f"size={int(conf['config_size'])},mode=755")
            if os.path.isdir(conf["config_seed"]):
                shutil.copytree(conf["config_seed"], f"{root}/config",
                                dirs_exist_ok=True)
        socket.sethostname("antMiner")
        # eth0 and its peer stay in this namespace: there is no way out.
        # The peer owns the name-server addresses (as /32, so
        # the routing table shows only eth0's routes): lookups that miss
        # /etc/hosts are refused at once instead of timing out.
        script = [
            "link set lo up",
            f"link add eth0 type veth peer name {PEER_IFACE}",
            f"link set eth0 address {conf['mac']}",
            f"addr add {ETH0_ADDRESS} dev eth0",
            "link set eth0 up",
            f"link set {PEER_IFACE} up",
        ] + [f"addr add {a}/32 dev {PEER_IFACE}"
             for a in NAME_SERVERS]
        if conf["default_route"]:
            script.append(f"route add default via {GATEWAY} dev eth0 onlink")
        r = subprocess.run([IP, "-batch", "-"], input="\n".join(script) + "\n",
                           text=True, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise RuntimeError(f"ip: {r.stdout.strip()}")
        os.chroot(root)
        os.chdir("/")
    except Exception as e:  # noqa: BLE001 - reported to the owner
        status.write(f"error {e}\n")
        status.close()
        os._exit(1)
    # Orphans re-parented to us are reaped by the kernel.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    status.write(f"ok {host_pid}\n")
    status.close()
    # Our owner holds the only write end: EOF means it closed the sandbox
    # or died.  Leaving kills every process in the namespace.
    while True:
        try:
            if not os.read(life_fd, 64):
                break
        except InterruptedError:
            continue
        except OSError:
            break
    os._exit(0)


# Command line.

def _parse_pair(text, sep, what):
    a, found, b = text.partition(sep)
    if not found or not a or not b:
        raise argparse.ArgumentTypeError(f"{what}: expected A{sep}B, "
                                         f"got {text!r}")
    return a, b


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["--holder"]:
        _holder_main(argv[1], int(argv[2]), int(argv[3]))
        return 0
    p = argparse.ArgumentParser(
        prog="sandbox.py",
        description="Run one program inside a fresh device sandbox.")
    p.add_argument("--service-host", default=DEFAULT_SERVICE_HOST)
    p.add_argument("--ca-file", help="CA installed as the device's trust "
                   "anchor (default: a fresh test CA)")
    p.add_argument("--system-ca", help="CA put into the system's CA store")
    p.add_argument("--no-default-route", action="store_true")
    p.add_argument("--no-dev-mem", action="store_true")
    p.add_argument("--three-name-servers", action="store_true")
    p.add_argument("--config-size", type=int, metavar="BYTES",
                   help="/config as a tmpfs of this size")
    p.add_argument("--no-miner", action="store_true")
    p.add_argument("--miner", metavar="FILE", help="miner program to install "
                   "as /usr/bin/bmminer (default: sim/miner/bmminer)")
    p.add_argument("--mac", default=DEFAULT_MAC)
    p.add_argument("--fpga-word", action="append", default=[],
                   metavar="INDEX=VALUE")
    p.add_argument("--kernel-log", metavar="FILE",
                   help="text printed by get_kernel_log.cgi")
    p.add_argument("--file", action="append", default=[],
                   metavar="DEVICE_PATH=HOST_FILE")
    p.add_argument("--copy-in", action="append", default=[],
                   metavar="HOST_FILE:DEVICE_PATH")
    p.add_argument("--show-calls", action="store_true",
                   help="print the recorded fake-command calls at the end")
    p.add_argument("program", nargs=argparse.REMAINDER)
    args = p.parse_args(argv)
    prog = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not prog:
        p.error("no program given (put it after --)")
    try:
        copies = [_parse_pair(x, "=", "--file")[::-1] for x in args.file]
        copies += [_parse_pair(x, ":", "--copy-in") for x in args.copy_in]
        words = {}
        for x in args.fpga_word:
            i, v = _parse_pair(x, "=", "--fpga-word")
            words[int(i, 0)] = int(v, 0)
    except (argparse.ArgumentTypeError, ValueError) as e:
        p.error(str(e))
    reason = unavailable_reason()
    if reason:
        print(f"sandbox.py: {reason}", file=sys.stderr)
        return 125
    kernel_log = DEFAULT_KERNEL_LOG
    if args.kernel_log:
        with open(args.kernel_log) as f:
            kernel_log = f.read()
    sb = Sandbox(service_host=args.service_host,
                 default_route=not args.no_default_route,
                 dev_mem=not args.no_dev_mem, fpga_words=words,
                 name_servers=3 if args.three_name_servers else 2,
                 config_size=args.config_size, miner=not args.no_miner,
                 miner_path=args.miner, kernel_log=kernel_log,
                 ca_file=args.ca_file, eth0_mac=args.mac,
                 system_ca=args.system_ca)
    for host_file, device_path in copies:
        with open(host_file, "rb") as f:
            sb.install(device_path, f.read(),
                       os.stat(host_file).st_mode & 0o7777)
    with sb:
        # A process group of its own: a terminal's Ctrl-C reaches only us,
        # and we pass it on exactly once.
        proc = sb.spawn(prog, stdout=None, stderr=None, process_group=0)

        def forward(signum, frame):
            try:
                proc.send_signal(signum)
            except ProcessLookupError:
                pass
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP,
                       signal.SIGUSR1, signal.SIGUSR2):
            signal.signal(signum, forward)
        rc = proc.wait()
        if args.show_calls:
            for line in sb.calls():
                print(f"[call] {line}", file=sys.stderr)
    return rc if rc >= 0 else 128 - rc


if __name__ == "__main__":
    sys.exit(main())

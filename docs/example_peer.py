#!/usr/bin/env python3
"""A peer for moxctrl written from docs/objects.md alone: standard library only.

    example_peer.py TOKEN        (KARN, TOLV, MOXCOM, PELKAR, DUMERA, TARVEX,
                                  QUILMO, SALVOR or FUDLIN)

It holds the peer's mutex while it runs, acknowledges its start by setting the
start event, keeps its stop event signalled, and when the controller resets
the stop event it lets go of the mutex, sets the stop event again and ends.
It prints "ready" once it has started, for whoever watches its output.
"""
import ctypes
import errno
import fcntl
import mmap
import os
import platform
import stat
import struct
import sys

NAMES = {  # token: (mutex, start event, stop event)
    "KARN": ("MOXPRG_MTX", "StartMoxKarnEvent", "StopMoxKarnEvent"),
    "TOLV": ("VESKOR_MTX", "StartMoxTolvEvent", "StopMoxTolvEvent"),
    "MOXCOM": ("MOXCOM_MTX", "StartMoxComEvent", "StopMoxComEvent"),
    "PELKAR": ("PELKAR_MTX", "StartPelkarEvent", "StopPelkarEvent"),
    "DUMERA": ("DUMERA_MTX", "StartDumeraEvent", "StopDumeraEvent"),
    "TARVEX": ("TARVEX_MTX", "StartTarvexEvent", "StopTarvexEvent"),
    "QUILMO": ("QUILMO_MTX", "StartQuilmoEvent", "StopQuilmoEvent"),
    "SALVOR": ("SALVOR_MTX", "StartSalvorEvent", "StopSalvorEvent"),
    "FUDLIN": ("FUDLIN_MTX", "StartFudlinEvent", "StopFudlinEvent"),
}

F_OFD_GETLK = getattr(fcntl, "F_OFD_GETLK", 36)
F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)
F_OFD_SETLKW = getattr(fcntl, "F_OFD_SETLKW", 38)
FLOCK = "hhqqi4x"  # struct flock on 64-bit Linux: type, whence, start, len, pid
HANDLE_BYTE, STATE_BYTE = 0, 1
EVENT_SIZE, STATE_OFFSET = 64, 16
EVENT_HEADER = b"MOXEVENT" + struct.pack("<II", 1, 1)  # magic, version 1, manual reset

FUTEX_WAIT, FUTEX_WAKE = 0, 1  # never with FUTEX_PRIVATE_FLAG: the word is shared
SYS_FUTEX = {"x86_64": 202, "aarch64": 98}[platform.machine()]
libc = ctypes.CDLL(None, use_errno=True)


def futex(address, op, value):
    libc.syscall(ctypes.c_long(SYS_FUTEX), ctypes.c_void_p(address), ctypes.c_int(op),
                 ctypes.c_uint32(value), None, None, ctypes.c_int(0))


def lock(fd, kind, byte, wait=False):
    """OFD lock on one byte; False when another handle holds a conflicting one."""
    try:
        fcntl.fcntl(fd, F_OFD_SETLKW if wait else F_OFD_SETLK,
                    struct.pack(FLOCK, kind, os.SEEK_SET, byte, 1, 0))
        return True
    except OSError as e:  # EINTR is retried by Python itself
        if e.errno in (errno.EAGAIN, errno.EACCES):
            return False
        raise


def object_directory():
    path = os.environ.get("MOX_OBJECT_DIR") or "/dev/shm/mox-%d" % os.geteuid()
    if not os.path.isabs(path):
        raise SystemExit("object directory %s: not an absolute path" % path)
    try:
        os.mkdir(path, 0o700)
        os.chmod(path, 0o700)
    except FileExistsError:
        pass
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    st = os.fstat(fd)
    if st.st_uid != os.geteuid() or st.st_mode & 0o077:
        raise SystemExit("object directory %s: not private to this user" % path)
    return fd


def file_name(name, suffix):
    out = []
    for i, byte in enumerate(name.encode("latin-1")):
        c = chr(byte)
        plain = c.isascii() and (c.isalnum() or c in "_-" or (c == "." and i > 0))
        out.append(c if plain else "%%%02X" % byte)
    return "".join(out) + suffix


def open_object(directory, name, flags):
    fd = os.open(name, flags | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, 0o600,
                 dir_fd=directory)
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid() or st.st_nlink != 1:
        raise SystemExit("%s: not an object file of this user" % name)
    return fd


def hold_mutex(directory, name):
    fd = open_object(directory, file_name(name, ".mutex"), os.O_RDONLY | os.O_CREAT)
    if not lock(fd, fcntl.F_RDLCK, HANDLE_BYTE):
        raise SystemExit("%s: cannot hold the mutex" % name)
    return fd  # held until closed, or until this process ends in any way


class Event:
    def __init__(self, directory, name, initially_signalled):
        self.fd = open_object(directory, file_name(name, ".event"), os.O_RDWR | os.O_CREAT)
        is_new = lock(self.fd, fcntl.F_WRLCK, HANDLE_BYTE)
        if not is_new:  # wait out a creator, then check whether all others left
            lock(self.fd, fcntl.F_RDLCK, HANDLE_BYTE, wait=True)
            is_new = lock(self.fd, fcntl.F_WRLCK, HANDLE_BYTE)
        if is_new:
            state = struct.pack("<I", 1 if initially_signalled else 0)
            os.pwrite(self.fd, EVENT_HEADER + state + bytes(EVENT_SIZE - 20), 0)
            os.ftruncate(self.fd, EVENT_SIZE)
            os.fchmod(self.fd, 0o600)
            lock(self.fd, fcntl.F_RDLCK, HANDLE_BYTE)  # atomic downgrade
        if os.fstat(self.fd).st_size != EVENT_SIZE:
            raise SystemExit("%s: damaged event file" % name)
        self.map = mmap.mmap(self.fd, EVENT_SIZE)  # shared, read and write
        if self.map[:16] != EVENT_HEADER:
            raise SystemExit("%s: not an event file" % name)
        self.word = ctypes.c_uint32.from_buffer(self.map, STATE_OFFSET)  # aligned 32-bit access
        self.address = ctypes.addressof(self.word)

    def change(self, signalled):
        lock(self.fd, fcntl.F_WRLCK, STATE_BYTE, wait=True)
        old = self.word.value
        changed = (old & 1) != signalled
        if changed:
            self.word.value = (old + 1) & 0xFFFFFFFF  # every change adds one
        lock(self.fd, fcntl.F_UNLCK, STATE_BYTE)
        if changed:
            futex(self.address, FUTEX_WAKE, 0x7FFFFFFF)

    def wait_until_reset(self):
        while True:
            seen = self.word.value
            if not seen & 1:
                return
            futex(self.address, FUTEX_WAIT, seen)  # sleeps while the word is unchanged


def main():
    if len(sys.argv) != 2 or sys.argv[1].upper() not in NAMES:
        raise SystemExit("usage: example_peer.py " + "|".join(NAMES))
    mutex, start, stop = NAMES[sys.argv[1].upper()]
    directory = object_directory()
    running = hold_mutex(directory, mutex)
    stop_event = Event(directory, stop, initially_signalled=True)
    started = Event(directory, start, initially_signalled=False)
    started.change(True)
    print("ready", flush=True)
    stop_event.wait_until_reset()
    # Gone first, acknowledged second: a status taken after the stop
    # command returns already sees this peer absent.
    os.close(running)
    stop_event.change(True)


if __name__ == "__main__":
    main()

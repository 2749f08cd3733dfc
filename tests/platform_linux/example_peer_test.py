#!/usr/bin/env python3
"""The example peer of docs/ against the real controller.

    example_peer_test.py MOXCTRL EXAMPLE_PEER

Two example peers make up group Rechts: the status shows it running, the
stop command stops both and returns as soon as they acknowledge, and the
status then shows it stopped. Then the same with the peers started by the
controller itself, through small wrappers named PELKAR.EXE and DUMERA.EXE.
"""
import os
import select
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def main():
    moxctrl, example_peer = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, MOX_OBJECT_DIR=os.path.join(tmp, "objects"))
        root = os.path.join(tmp, "installation")
        os.mkdir(root)

        def run(letter):
            start = time.monotonic()
            done = subprocess.run([moxctrl, letter], cwd=root, env=env, capture_output=True,
                                  timeout=60)
            with open(os.path.join(root, "MOXCTRL.DAT"), "rb") as f:
                status_file = f.read() if letter == "C" else None
            return done, time.monotonic() - start, status_file

        done, _, status_file = run("C")
        check(done.stdout == b"statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';"
              and status_file == b"EFFE", "nothing runs at first: %r" % done.stdout)

        peers = [subprocess.Popen([sys.executable, example_peer, token], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                 for token in ("PELKAR", "DUMERA")]
        try:
            for peer in peers:
                ready, _, _ = select.select([peer.stdout], [], [], 20)
                line = peer.stdout.readline() if ready else b""
                check(line == b"ready\n", "peer %d started: %r" % (peer.pid, line))

            done, _, status_file = run("C")
            check(done.returncode == 0, "status exits with 0")
            check(done.stdout ==
                  b"statusLinks='E';statusRechts='N';statusInfComm='F';statusInfProc='E';",
                  "status shows Rechts running: %r" % done.stdout)
            check(status_file == b"ENFE", "status file: %r" % status_file)

            done, seconds, _ = run("F")
            check(done.returncode == 0 and done.stdout == b"", "stop exits with 0, says nothing")
            # Without the acknowledgements the stop would wait its full 30 s.
            check(seconds < 10, "stop returned after the acknowledgements (%.2f s)" % seconds)
            for peer in peers:
                code = peer.wait(timeout=10)
                check(code == 0, "peer %d ended with %d: %r" % (peer.pid, code,
                                                                 peer.stderr.read()))

            done, _, status_file = run("C")
            check(done.stdout ==
                  b"statusLinks='E';statusRechts='F';statusInfComm='F';statusInfProc='E';"
                  and status_file == b"EFFE", "status shows Rechts stopped: %r" % done.stdout)
        finally:
            for peer in peers:
                if peer.poll() is None:
                    peer.kill()
                    peer.wait()

        comm = os.path.join(root, "MOX", "GENERATOR", "COMM")
        os.makedirs(comm)
        for token in ("PELKAR", "DUMERA"):
            wrapper = os.path.join(comm, token + ".EXE")
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\nexec '%s' '%s' %s\n" % (sys.executable, example_peer, token))
            os.chmod(wrapper, 0o700)
        try:
            done, seconds, _ = run("N")
            check(done.returncode == 0 and done.stdout == b"", "start exits with 0, says nothing")
            # Without the start acknowledgements the start would wait 15 s.
            check(seconds < 10, "start returned after the acknowledgements (%.2f s)" % seconds)
            done, _, status_file = run("C")
            check(status_file == b"ENFE", "launched peers run: %r" % done.stdout)
        finally:
            done, seconds, _ = run("F")
        check(seconds < 10, "launched peers stopped (%.2f s)" % seconds)
        done, _, status_file = run("C")
        check(status_file == b"EFFE", "launched peers are gone: %r" % done.stdout)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

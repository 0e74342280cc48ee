#!/usr/bin/env python3
"""Ctrl-C at tessivo-peer's PIN prompt, on a real terminal (a pseudo-terminal): echo is off while
the prompt waits, the terminal has its echo back once the peer is gone, and no login reached the
card.

usage: pin_prompt_test.py TESSIVO-PEER TEST-MODULE
"""
import os
import pty
import select
import signal
import sys
import termios
import time

from peer_place import peer_place


def read_until(fd, marker, seconds):
    seen = b''
    deadline = time.monotonic() + seconds
    while marker not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise SystemExit(f'FAIL: no {marker!r} on the terminal; it shows {seen!r}')
        try:
            chunk = os.read(fd, 1024)
        except OSError:
            chunk = b''
        if not chunk:
            raise SystemExit(f'FAIL: the terminal closed before {marker!r}; it showed {seen!r}')
        seen += chunk
    return seen


def echo_on(fd):
    return bool(termios.tcgetattr(fd)[3] & termios.ECHO)


def main():
    peer, module = sys.argv[1:3]
    config = 'slot = Reader A ; 1 ; Token A ; 11\npin = 123456\nlogin_log = {work}/logins\n'
    with peer_place('tessivo-pin-prompt-', config) as (work, env):
        login_log = os.path.join(work, 'logins')
        data = os.path.join(work, 'data')
        with open(data, 'wb') as f:
            f.write(b'abc')

        pid, terminal = pty.fork()
        if pid == 0:
            os.execve(peer, [peer, '--module', module, 'sign', 'Reader A', data], env)
        read_until(terminal, b'PIN for Token A: ', 30)  # the prompt names the token
        failures = []
        if echo_on(terminal):
            failures.append('echo is on while the PIN is asked for')
        os.write(terminal, b'12\x03')  # part of a PIN, then Ctrl-C
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise SystemExit('FAIL: the peer did not end on Ctrl-C')
            time.sleep(0.05)
        if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT):
            failures.append(f'the peer did not end by its SIGINT (wait status {status})')
        if not echo_on(terminal):
            failures.append('echo is still off after Ctrl-C')
        if os.path.exists(login_log) and os.path.getsize(login_log) > 0:
            failures.append('a login reached the card')
        os.close(terminal)
        for failure in failures:
            print('FAIL:', failure)
        if failures:
            return 1
        print('ok: echo off at the prompt, back on after Ctrl-C, no login')
        return 0


if __name__ == '__main__':
    sys.exit(main())

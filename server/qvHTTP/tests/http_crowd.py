#!/usr/bin/env python3
"""Holds idle and dribbling connections open against the HTTP service, then fetches one file
with a normal client; prints the fetch's HTTP status and how many held sockets were closed.

usage: http_crowd.py PORT IDLE DRIBBLE PATH
"""
import socket
import sys
import time
import urllib.request

port, idle, dribble, path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
held = []
for _ in range(idle):
    held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
dribblers = []
for _ in range(dribble):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"G")
    dribblers.append(s)
# One more header byte each, a little later, as a slow attacker would send.
time.sleep(1)
for s in dribblers:
    try:
        s.sendall(b"E")
    except OSError:
        pass
try:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as reply:
        reply.read()
        status = reply.status
except Exception as err:  # refused, reset or timed out: the service let the crowd lock it out
    status = f"failed ({err})"
print(status)
for s in held + dribblers:
    s.close()

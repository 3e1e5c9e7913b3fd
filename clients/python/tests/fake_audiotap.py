#!/usr/bin/env python3
# A stand-in capture process for pipe-level cases the simulator cannot produce.
# FAKE_AUDIOTAP (JSON): {"steps": [{"err": text} | {"out": hex} | {"wait": ms} | {"exit": status}],
#                        "on_stdin_end": "stop" | "ignore", "on_term": "stop" | "ignore"}
import json
import os
import signal
import sys
import threading
import time

plan = json.loads(os.environ.get("FAKE_AUDIOTAP", "{}"))
written = 0
lock = threading.Lock()


def stop(*_):
    with lock:
        os.write(2, b'{"type":"stopped","frames":%d}\n' % (written // 2))
        os._exit(0)


signal.signal(signal.SIGTERM, stop if plan.get("on_term") == "stop" else signal.SIG_IGN)


def watch_stdin():
    while os.read(0, 4096):
        pass
    if plan.get("on_stdin_end") != "ignore":
        stop()


threading.Thread(target=watch_stdin, daemon=True).start()
for step in plan.get("steps", []):
    if "err" in step:
        os.write(2, step["err"].encode())
    if "out" in step:
        with lock:
            data = bytes.fromhex(step["out"])
            os.write(1, data)
            written += len(data)
    if "wait" in step:
        time.sleep(step["wait"] / 1000)
    if "exit" in step:
        os._exit(step["exit"])
while True:
    time.sleep(1)

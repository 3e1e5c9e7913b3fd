#!/usr/bin/env python3
# A stand-in capture process for pipe-level cases the simulator cannot produce.
# FAKE_AUDIOTAP (JSON): {"steps": [{"err": text} | {"out": hex} | {"wait": ms} | {"exit": status}],
#                        "on_stdin_end": "stop" | "ignore", "on_term": "stop" | "ignore"}
import json, os, signal, sys, threading, time  # noqa: E401

plan = json.loads(os.environ.get("FAKE_AUDIOTAP", "{}"))
written = 0


def stop(*_):
    os.write(2, b'{"type":"stopped","frames":%d}\n' % (written // 2))
    os._exit(0)


def watch_stdin():
    while os.read(0, 4096):
        pass
    if plan.get("on_stdin_end") != "ignore":
        stop()


signal.signal(signal.SIGTERM, stop if plan.get("on_term") == "stop" else signal.SIG_IGN)
threading.Thread(target=watch_stdin, daemon=True).start()
for step in plan.get("steps", []):
    os.write(2, step.get("err", "").encode())
    written += os.write(1, bytes.fromhex(step.get("out", "")))
    time.sleep(step.get("wait", 0) / 1000)
    if "exit" in step:
        os._exit(step["exit"])
while True:
    time.sleep(1)

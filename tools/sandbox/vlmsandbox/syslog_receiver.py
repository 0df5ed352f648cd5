#!/usr/bin/python3
"""A syslog receiver for the sandbox's /dev/log.

Binds a unix datagram socket and keeps every message with its facility,
severity, identity and pid: one JSON object per line in the log file, or a
readable line on stderr when no file is named. On SIGTERM or SIGINT it takes
what is still queued on the socket and ends, so nothing sent before the
sandbox closes is lost.

    syslog_receiver.py SOCKET [LOGFILE]
"""
import json
import os
import re
import signal
import socket
import sys
import time

# <PRI>TIMESTAMP IDENT[PID]: MESSAGE, the form glibc's syslog() sends to /dev/log;
# the timestamp is "Mmm dd hh:mm:ss" and the pid part is present with LOG_PID.
RECORD = re.compile(
    rb"^<(?P<pri>\d{1,3})>"
    rb"(?:(?P<stamp>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d) )?"
    rb"(?:(?P<ident>[^\s\[:]+)(?:\[(?P<pid>\d+)\])?: )?"
    rb"(?P<message>.*)$",
    re.DOTALL,
)

FACILITIES = ["kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news", "uucp",
              "cron", "authpriv", "ftp", "ntp", "security", "console", "solaris-cron",
              "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"]
SEVERITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]


def parse(datagram):
    match = RECORD.match(datagram)
    if match is None:
        return {"facility": None, "severity": None, "ident": None, "pid": None,
                "message": datagram.decode("utf-8", "replace"), "raw": True}
    pri = int(match["pri"])
    message = match["message"].rstrip(b"\0\n")
    return {
        "facility": pri >> 3,
        "severity": pri & 7,
        "ident": match["ident"].decode("utf-8", "replace") if match["ident"] else None,
        "pid": int(match["pid"]) if match["pid"] else None,
        "message": message.decode("utf-8", "replace"),
        "time": time.time(),
    }


def emit(out, record):
    if out is None:
        facility = FACILITIES[record["facility"]] if record["facility"] is not None and \
            record["facility"] < len(FACILITIES) else "?"
        severity = SEVERITIES[record["severity"]] if record["severity"] is not None else "?"
        pid = f"[{record['pid']}]" if record["pid"] is not None else ""
        sys.stderr.write(f"syslog {facility}.{severity} {record['ident']}{pid}: "
                         f"{record['message']}\n")
        sys.stderr.flush()
    else:
        out.write(json.dumps(record) + "\n")
        out.flush()


def main():
    if len(sys.argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    path = sys.argv[1]
    out = open(sys.argv[2], "a", encoding="utf-8") if len(sys.argv) == 3 else None

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))

    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    os.chmod(path, 0o666)
    sock.settimeout(0.2)
    while not stopping:
        try:
            emit(out, parse(sock.recv(65536)))
        except (socket.timeout, InterruptedError):
            pass
    sock.setblocking(False)
    while True:
        try:
            emit(out, parse(sock.recv(65536)))
        except BlockingIOError:
            break
    return 0


if __name__ == "__main__":
    sys.exit(main())

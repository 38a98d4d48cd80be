#!/usr/bin/env python3
"""Runs one host scenario of the table (scenarios.txt) against the simulated handheld.

    run_host.py --host BIN --sim HHSIM --scenarios FILE --scenario NAME
                [--runner CMD] [--ports env|wine] [--library PATH]
    run_host.py --scenarios FILE --list [--kind c|python]

A scenario line is "name family state way [options]": family text, byte or - (no handheld attached);
state and way are the host's two arguments; options are hhsim options (starting with --) or
key=value settings: upload=BYTES (size of the PC file to upload, default 4096), status=N (expected
exit status, default 0; -N: killed by signal N, which a Windows host gives as exit code N),
limit=SECONDS (longest time from "leaving" to the end of the process, default 3), kind=python (a
scenario of the Python host instead of the C hosts), check=table (an earlier downa.dbf and downa.dbi
lie in the host's folder; after the host has ended, whatever way, they must be there byte for byte,
the handheld's malformed \BAD.DBF under downa.db$, and no other file beside them).

The host's COM1 is the handheld's pseudo-terminal, COM2-COM4 lead nowhere.  --ports env maps them
through TARVIX_COMn; --ports wine through the links com1..com4 in $WINEPREFIX/dosdevices.  --runner
is put in front of the host's command line (e.g. "wine").  A scenario passes when the host ends with
the expected status within the limit and nothing in its output reports a sanitizer finding, an
abort or a heap fault.
"""
import argparse
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FINDINGS = (
    "AddressSanitizer",
    "LeakSanitizer",
    "ThreadSanitizer",
    "UndefinedBehaviorSanitizer",
    "runtime error:",
    "terminate called",
    "pure virtual method called",
    "double free",
    "corrupted",
    "free(): ",
    "Aborted",
)


def read_table(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) < 4:
                sys.exit(f"{path}:{number}: a scenario needs name, family, state and way")
            name, family, state, way = fields[:4]
            entry = {"family": family, "state": state, "way": way, "sim": [], "upload": 4096,
                     "status": 0, "limit": 3.0, "kind": "c", "check": ""}
            for option in fields[4:]:
                if option.startswith("--"):
                    entry["sim"].extend(option.split("=", 1))
                elif "=" in option:
                    key, value = option.split("=", 1)
                    if key not in ("upload", "status", "limit", "kind", "check"):
                        sys.exit(f"{path}:{number}: unknown setting {key}")
                    entry[key] = (value if key in ("kind", "check")
                                  else float(value) if key == "limit" else int(value))
                else:
                    sys.exit(f"{path}:{number}: unknown option {option}")
            if name in table:
                sys.exit(f"{path}:{number}: scenario {name} twice")
            table[name] = entry
    return table


# A packed table that cannot be unpacked (no fields), and the side file the handheld keeps with it.
BAD_TABLE = bytes([126, 12, 10]) + b" " * 8 + bytes([1, 0, 4, 0, 0]) + bytes(range(64))
BAD_SIDE = bytes([3]) + bytes(96)
# The operator's table and side file from before the download.
EARLIER_TABLE = b"earlier table " * 20
EARLIER_SIDE = b"earlier side file " * 5


def start_handheld(sim, family, store, link, options):
    os.makedirs(store, exist_ok=True)
    with open(os.path.join(store, "DOWN.BIN"), "wb") as f:
        f.write(bytes((i * 7) & 0xFF for i in range(4096)))
    with open(os.path.join(store, "BAD.DBF"), "wb") as f:
        f.write(BAD_TABLE)
    with open(os.path.join(store, "BAD.DBI"), "wb") as f:
        f.write(BAD_SIDE)
    command = [sim, "--family", family, "--store", store, "--link", link] + options
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    seen = b""
    end = time.monotonic() + 10
    while b"hhsim ready\n" not in seen:
        left = end - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            process.kill()
            sys.exit(f"hhsim did not get ready: {seen!r}")
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            sys.exit(f"hhsim ended: {seen!r}")
        seen += chunk
    return process


def map_ports(how, link, env):
    nowhere = "/nonexistent/tarvix-port"
    ports = [link or nowhere, nowhere, nowhere, nowhere]
    if how == "env":
        for n, target in enumerate(ports, 1):
            env[f"TARVIX_COM{n}"] = target
    else:
        dosdevices = os.path.join(env.get("WINEPREFIX", os.path.expanduser("~/.wine")), "dosdevices")
        for n, target in enumerate(ports, 1):
            name = os.path.join(dosdevices, f"com{n}")
            if os.path.lexists(name):
                os.remove(name)
            os.symlink(target, name)


def restart_handheld(handheld):
    """Restarts the handheld on its line (SIGUSR2); True once it says so."""
    handheld.send_signal(signal.SIGUSR2)
    seen = b""
    end = time.monotonic() + 10
    while b"hhsim restarted\n" not in seen:
        left = end - time.monotonic()
        if left <= 0 or not select.select([handheld.stdout], [], [], left)[0]:
            return False
        chunk = os.read(handheld.stdout.fileno(), 4096)
        if not chunk:
            return False
        seen += chunk
    return True


def run_host(command, env, cwd, limit, handheld=None):
    """Runs the host; returns (status, output, seconds from "leaving" to the end or None).  A host that
    prints "replug" has the handheld restarted and is then told so by a line on its input."""
    process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    output = b""
    replugged = False
    left_at = None
    setup_end = time.monotonic() + 90
    while True:
        deadline = left_at + limit + 5 if left_at is not None else setup_end
        wait = deadline - time.monotonic()
        if wait <= 0:
            process.kill()
            process.wait()
            after = time.monotonic() - left_at if left_at is not None else None
            return None, output.decode(errors="replace") + "\n[killed: no end in time]", after
        if not select.select([process.stdout], [], [], wait)[0]:
            continue
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            break
        output += chunk
        # A Windows host under Wine ends its lines with CR LF.
        lines = output.replace(b"\r\n", b"\n")
        if not replugged and b"replug\n" in lines:
            replugged = True
            if handheld is None or not restart_handheld(handheld):
                output += b"\n[the handheld did not restart]"
                break
            process.stdin.write(b"back\n")
            process.stdin.flush()
        if left_at is None and b"leaving\n" in lines:
            left_at = time.monotonic()
    status = process.wait()
    ended = time.monotonic()
    return status, output.decode(errors="replace"), (ended - left_at) if left_at is not None else None


def check_table_files(work, before):
    """What a download of the malformed table leaves, whenever the host ended: a list of problems."""
    problems = []
    expected = {"downa.dbf": EARLIER_TABLE, "downa.dbi": EARLIER_SIDE, "downa.db$": BAD_TABLE}
    for name, content in expected.items():
        try:
            with open(os.path.join(work, name), "rb") as f:
                if f.read() != content:
                    problems.append(f"{name} does not hold what it should")
        except OSError:
            problems.append(f"{name} is missing")
    left = sorted(set(os.listdir(work)) - before - set(expected))
    if left:
        problems.append("left beside them: " + ", ".join(left))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scenarios", required=True)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--kind", default="c")
    parser.add_argument("--scenario")
    parser.add_argument("--host")
    parser.add_argument("--sim")
    parser.add_argument("--runner", default="")
    parser.add_argument("--ports", choices=("env", "wine"), default="env")
    parser.add_argument("--library")
    args = parser.parse_args()

    table = read_table(args.scenarios)
    if args.list:
        print("\n".join(name for name, entry in table.items() if entry["kind"] == args.kind))
        return 0
    if args.scenario not in table or not args.host:
        sys.exit(f"unknown scenario {args.scenario} or no host")
    entry = table[args.scenario]

    work = tempfile.mkdtemp(prefix=f"tarvix-host-{args.scenario}-")
    handheld = None
    try:
        env = dict(os.environ)
        env["TARVIX_SHM_NAME"] = f"tarvix-host-{os.getpid()}-{args.scenario}"
        env["TARVIX_INI"] = os.path.join(work, "tarvix.ini")
        # The link test that opens each text-frame operation waits 50 ms by default: on a loaded machine
        # the handheld, a program of its own, may answer later than that.
        with open(env["TARVIX_INI"], "w", encoding="ascii") as f:
            f.write("[INFO]\nadapttime=1000\n")
        env["TARVIX_LOCALE"] = "en_US"
        env.pop("TARVIX_USB_DIR", None)
        env["TARVIX_HOST_UPLOAD"] = os.path.join(work, "up.bin")
        env["TARVIX_HOST_DOWNLOAD"] = os.path.join(work, "down.bin")
        if args.library:
            env["TARVIX_LIBRARY"] = os.path.abspath(args.library)
        with open(env["TARVIX_HOST_UPLOAD"], "wb") as f:
            f.write(bytes((i * 13 + 5) & 0xFF for i in range(entry["upload"])))
        link = None
        if entry["family"] != "-":
            link = os.path.join(work, "com1")
            handheld = start_handheld(os.path.abspath(args.sim), entry["family"], os.path.join(work, "store"), link, entry["sim"])
        map_ports(args.ports, link, env)
        if entry["check"] == "table":
            with open(os.path.join(work, "downa.dbf"), "wb") as f:
                f.write(EARLIER_TABLE)
            with open(os.path.join(work, "downa.dbi"), "wb") as f:
                f.write(EARLIER_SIDE)
        before = set(os.listdir(work))

        # The host runs in the scenario's folder: paths given relative to the caller's folder are made whole.
        host = [os.path.abspath(word) if os.path.exists(word) else word for word in shlex.split(args.host)]
        command = shlex.split(args.runner) + host + [entry["state"], entry["way"]]
        status, output, after_leaving = run_host(command, env, work, entry["limit"], handheld)
        problems = []
        expected = entry["status"]
        # A Linux host killed by signal N ends with status -N; a Windows host (under Wine) that ends
        # itself the same abrupt way calls TerminateProcess with N as its exit code.
        if args.ports == "wine" and expected < 0:
            expected = -expected
        if status != expected:
            problems.append(f"exit status {status}, expected {expected}")
        if after_leaving is None:
            problems.append("the host never started to leave")
        elif after_leaving > entry["limit"]:
            problems.append(f"leaving took {after_leaving:.2f} s, limit {entry['limit']} s")
        if entry["check"] == "table":
            problems.extend(check_table_files(work, before))
        elif entry["check"]:
            problems.append(f"unknown check {entry['check']}")
        found = [word for word in FINDINGS if word in output]
        if found:
            problems.append("output reports " + ", ".join(found))
        timing = f"{after_leaving:.2f} s" if after_leaving is not None else "-"
        if problems:
            print(f"FAIL {args.scenario}: " + "; ".join(problems))
            print(output)
            return 1
        print(f"PASS {args.scenario} (left in {timing})")
        return 0
    finally:
        if handheld is not None:
            handheld.terminate()
            try:
                handheld.wait(timeout=10)
            except subprocess.TimeoutExpired:
                handheld.kill()
                handheld.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

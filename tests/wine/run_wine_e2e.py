#!/usr/bin/python3
# End-to-end tests of the real HesTolvaneDrv.sys under Wine: "setup" makes one Wine prefix with both
# services installed, and each scenario runs the driver in its own copy of it and checks what came out.
"""Usage: run_wine_e2e.py [paths] setup | scenario NAME

Each scenario starts a persistent wineserver for its prefix copy, starts the harness and the driver through
the service manager, drives them with the Win32 client, then reads what the harness captured from COM1,
the harness's event log, the registry and Wine's own log, and checks them. Exit status 0 when every check
passed, 1 otherwise, 77 (skipped) when wine64 is not installed."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_imports  # noqa: E402

SKIP = 77
HARNESS_SERVICE = "HesTolvaneWineHarness"
DRIVER_SERVICE = "HesTolvaneDrv"
# One load-order group: Wine runs all drivers of a group in one winedevice process, which is what lets
# the harness see the driver load and reach its imports. The harness is always started first.
SERVICE_GROUP = "HesTolvane Wine Test"
DRIVERS_DIR = "drive_c/windows/system32/drivers"
# Where the harness writes (tests/wine/wine_harness_protocol.h), as seen from the host.
CAPTURE = "drive_c/hestolvane/uart-capture.bin"
EVENTS = "drive_c/hestolvane/harness-events.txt"

# Wine's own prompts and display: no Mono or Gecko installers, no X server. DbgPrint reaches Wine's log
# as a warning of the debugstr channel, so that one channel stays on: unload's message is checked there.
WINE_ENVIRONMENT = {"WINEDEBUG": "-all,warn+debugstr", "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINEARCH": "win64"}
PREFIX_TIMEOUT = 180
COMMAND_TIMEOUT = 120
TIME_TOLERANCE = timedelta(minutes=1)

BUGCHECK = ["D1", "FFFFF80012345678", "2", "0", "FFFFF80087654321"]
BUGCHECK_LINE = ("VQN: BUGCHECK CODE D1: FFFFF80012345678 0000000000000002 0000000000000000 "
                 "FFFFF80087654321\n")
# Staged after the first report, it must add nothing (one report per boot); the only one in last_bsod.
SECOND_BUGCHECK = ["1E", "C0000005", "FFFFF80012345678", "0", "0"]
SECOND_BUGCHECK_LINE = ("VQN: BUGCHECK CODE 1E: 00000000C0000005 FFFFF80012345678 0000000000000000 "
                        "0000000000000000\n")

BANNER = re.compile(r"HesTolvaneDrv ver: (\d+), Load: (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d{1,3})\n")
CRASH_TIME = re.compile(r"CRASHED ON: (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d{1,3})\n")
CONTEXT_LINES = 25
CONTEXT_CHARACTERS = 710
CONTEXT_RIP = re.compile(r"^         RIP = ([0-9A-F]{16})$", re.MULTILINE)
CONTEXT_RSP = re.compile(r"^         RSP = ([0-9A-F]{16})$", re.MULTILINE)
HEX = "[0-9A-F]{16}"
FRAME = re.compile(rf"({HEX})  \(({HEX})  ({HEX})  ({HEX})  ({HEX})\) (?:({HEX})|(\S+) \+ ({HEX}))\n")
MAX_FRAMES = 20


class Checks:
    def __init__(self):
        self.failures = 0

    def expect(self, condition, what, detail=""):
        print(f"{'PASS' if condition else 'FAIL'}  {what}" + (f": {detail}" if detail else ""), flush=True)
        if not condition:
            self.failures += 1
        return condition


# ---------------------------------------------------------------------------------------------------------
# Wine.

def find_wine():
    """(wine64 loader, wineserver), or None when wine64 is not installed."""
    loader = shutil.which("wine64") or next((path for path in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64")
                                             if os.access(path, os.X_OK)), None)
    server = shutil.which("wineserver") or next((path for path in ("/usr/lib/wine/wineserver",)
                                                 if os.access(path, os.X_OK)), None)
    return (loader, server) if loader and server else None


class Wine:
    """Wine commands for one prefix; everything they print goes to one log file, which also collects the
    output of the services and drivers they start."""

    def __init__(self, loader, server, prefix, log):
        self.loader = loader
        self.server = server
        self.log = log
        self.environment = {key: value for key, value in os.environ.items()
                            if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.environment.update(WINE_ENVIRONMENT, WINEPREFIX=str(prefix), WINELOADER=loader)

    def run(self, arguments, timeout=COMMAND_TIMEOUT, capture=False):
        """Runs one command; its output is returned when capture is set, and appended to the log always.
        Output goes to files, never pipes: services started by the command inherit them and outlive it."""
        output = self.log.with_suffix(".command") if capture else None
        with open(self.log, "ab") as log, open(output or os.devnull, "wb") as stdout:
            log.write(f"$ {' '.join(str(argument) for argument in arguments)}\n".encode())
            log.flush()
            try:
                result = subprocess.run(arguments, env=self.environment, stdin=subprocess.DEVNULL,
                                        stdout=stdout if capture else log, stderr=log, timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                raise RuntimeError(f"timed out after {timeout} s: {' '.join(str(a) for a in arguments)}")
        text = ""
        if capture:
            text = output.read_text(errors="replace")
            output.unlink()
            with open(self.log, "a") as log:
                log.write(text)
        return result.returncode, text

    def wine(self, *arguments, **options):
        return self.run([self.loader, *arguments], **options)

    def start_server(self):
        self.run([self.server, "-p"], timeout=30)

    def wait_server(self):
        self.run([self.server, "-w"], timeout=PREFIX_TIMEOUT)

    def kill(self):
        """Ends the session's server and every process of the session, if there is one."""
        try:
            subprocess.run([self.server, "-k"], env=self.environment, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            raise RuntimeError("wineserver -k did not return within 30 s")


# ---------------------------------------------------------------------------------------------------------
# The base prefix.

def setup(arguments, wine):
    base = arguments.workdir / "prefix"
    tool = Wine(*wine, base, arguments.workdir / "setup.log")
    if base.exists():
        tool.kill()
    shutil.rmtree(arguments.workdir, ignore_errors=True)
    arguments.workdir.mkdir(parents=True)
    started = time.monotonic()
    status, _ = tool.wine("wineboot", "--init", timeout=PREFIX_TIMEOUT)
    if status != 0:
        print(f"FAIL  wineboot --init exited with {status}; see {tool.log}")
        return 1

    drivers = base / DRIVERS_DIR
    shutil.copy2(arguments.image, drivers / arguments.image.name)
    shutil.copy2(arguments.harness, drivers / arguments.harness.name)
    status, output = tool.wine(
        arguments.client, "install", HARNESS_SERVICE, f"C:\\windows\\system32\\drivers\\{arguments.harness.name}",
        SERVICE_GROUP, "install", DRIVER_SERVICE, f"C:\\windows\\system32\\drivers\\{arguments.image.name}",
        SERVICE_GROUP, capture=True)
    print(output, end="")
    # The registry reaches the prefix's files when the session ends.
    tool.wait_server()
    if status != 0:
        print(f"FAIL  installing the services; see {tool.log}")
        return 1
    print(f"prefix {base} ready in {time.monotonic() - started:.1f} s")

    # What Wine really provides for each of the image's imports; the scenarios hold the harness to it.
    rows = wine_imports.classify(arguments.image, base / "drive_c/windows/system32", arguments.header)
    wine_imports.print_table(rows)
    unusable = sorted(name for name, _, _, usable in rows if not usable)
    (arguments.workdir / "unusable-imports.json").write_text(json.dumps(unusable))
    missing = [name for name, _, resolution, _ in rows if resolution.kind == "missing"]
    if missing:
        print(f"FAIL  Wine has no export at all for {', '.join(missing)}: the image cannot load")
        return 1
    return 0


def copy_prefix(base, copy):
    """The prefix's PE modules (Wine's own and the two drivers, some 700 MB) are only ever read, so they are
    hard-linked; everything else, the registry above all, is copied, since Wine may rewrite it in place."""

    def link_or_copy(source, destination):
        with open(source, "rb") as file:
            is_module = file.read(2) == b"MZ"
        if is_module:
            os.link(source, destination)
        else:
            shutil.copy2(source, destination)

    shutil.copytree(base, copy, symlinks=True, copy_function=link_or_copy)


# ---------------------------------------------------------------------------------------------------------
# One scenario's session, and what came out of it.

@dataclass
class Outcome:
    """Everything a scenario's checks look at."""
    client_status: int
    client_output: str
    capture: str  # the bytes written to COM1, one character per byte
    events: list  # the harness's event lines
    wine_log: str
    finished_at: datetime  # host UTC time when the client returned
    unusable_imports: set  # what setup found Wine does not provide

    def registry(self):
        match = re.search(r"^registry: Loaded=(\S+) Version=(\S+)$", self.client_output, re.MULTILINE)
        return (match.group(1), match.group(2)) if match else None

    def _range(self, pattern):
        for line in self.events:
            match = re.search(pattern, line)
            if match:
                return ImageRange(int(match.group(1), 16), int(match.group(2), 16))
        return None

    def driver_range(self):
        return self._range(r"^loading HesTolvaneDrv\.sys at ([0-9A-F]+)-([0-9A-F]+)$")

    def harness_range(self):
        return self._range(r" harness=([0-9A-F]+)-([0-9A-F]+)$")

    def bugcheck_event(self, number):
        """(code, callbacks run, bytes written to COM1, line-status reads) of the harness's nth bug check."""
        for line in self.events:
            match = re.match(rf"^bugcheck {number} code=(\w+) callbacks=(\d+) bytes=(\d+) line-status-reads=(\d+) ",
                             line)
            if match:
                return match.group(1), int(match.group(2)), int(match.group(3)), int(match.group(4))
        return None


@dataclass
class ImageRange:
    start: int
    end: int

    def __contains__(self, address):
        return self.start <= address < self.end

    def __str__(self):
        return f"{self.start:X}-{self.end:X}"


def run_session(arguments, wine, name, steps):
    """Runs the client's steps in a fresh copy of the prefix. Returns the Outcome and the scenario's
    directory, which keeps the prefix, the captures and Wine's log for a look afterwards."""
    directory = arguments.workdir / "scenarios" / name
    prefix = directory / "prefix"
    session = Wine(*wine, prefix, directory / "wine.log")
    if prefix.exists():
        # A run stopped by its timeout can leave its persistent server behind.
        session.kill()
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    copy_prefix(arguments.workdir / "prefix", prefix)
    (prefix / CAPTURE).parent.mkdir(parents=True, exist_ok=True)

    session.start_server()
    try:
        status, output = session.wine(arguments.client, *steps, capture=True)
    finally:
        finished_at = datetime.now(timezone.utc)
        session.kill()
    print("client:\n" + "".join(f"  {line}\n" for line in output.splitlines()), end="")
    capture = prefix / CAPTURE
    events = prefix / EVENTS
    outcome = Outcome(
        client_status=status, client_output=output,
        capture=capture.read_bytes().decode("latin-1") if capture.exists() else "",
        events=events.read_text(errors="replace").splitlines() if events.exists() else [],
        wine_log=session.log.read_text(errors="replace"), finished_at=finished_at,
        unusable_imports=set(json.loads((arguments.workdir / "unusable-imports.json").read_text())))
    return outcome, directory


# ---------------------------------------------------------------------------------------------------------
# Checks.

def within_tolerance(fields, reference):
    year, month, day, hour, minute, second, milliseconds = (int(field) for field in fields)
    stamp = datetime(year, month, day, hour, minute, second, milliseconds * 1000, tzinfo=timezone.utc)
    return abs(stamp - reference) <= TIME_TOLERANCE, stamp


def check_client(checks, outcome):
    failed = [line for line in outcome.client_output.splitlines() if line.startswith("FAIL")]
    checks.expect(outcome.client_status == 0 and not failed, "every client step succeeded",
                  "; ".join(failed) or f"exit status {outcome.client_status}")


def check_start(checks, outcome, boot_line):
    """The load banner and the boot-state line. Returns what COM1 got after them, None without a banner."""
    text = outcome.capture
    banner = BANNER.match(text)
    if not checks.expect(banner is not None, "COM1 starts with the load banner", repr(text[:80])):
        return None
    checks.expect(banner.group(1) == "3", "the banner names version 3", banner.group(0).strip())
    close, stamp = within_tolerance(banner.groups()[1:], outcome.finished_at)
    checks.expect(close, "the banner's UTC time is within a minute of the host's",
                  f"{stamp:%Y-%m-%d %H:%M:%S} against {outcome.finished_at:%Y-%m-%d %H:%M:%S}")
    rest = text[banner.end():]
    if not checks.expect(rest.startswith(boot_line), f"then {boot_line!r}", repr(rest[:40])):
        return None
    return rest[len(boot_line):]


def check_registration(checks, outcome, marker_then):
    events = outcome.events
    checks.expect("harness loaded; InitSafeBootMode=0" in events,
                  "InitSafeBootMode reads 0 through Wine's export (the driver's safe-mode test passes)",
                  next((line for line in events if "InitSafeBootMode" in line), "the harness did not load"))
    patched = {line.split()[1] for line in events if line.startswith("patched ")}
    checks.expect(patched == outcome.unusable_imports,
                  "the harness stood in for exactly the imports Wine does not provide",
                  f"patched {sorted(patched)}, unusable {sorted(outcome.unusable_imports)}")
    registration = [line for line in events if line.startswith("KeRegisterBugCheckCallback ")]
    checks.expect(registration == ["KeRegisterBugCheckCallback component=HesTolvane routine=in-driver "
                                   "buffer=0000000000000000 length=0 -> TRUE"],
                  "one bug-check callback registered: its own routine, no buffer, component HesTolvane",
                  "; ".join(registration) or "none")
    checks.expect(f"registry at registration: {marker_then}" in events,
                  f"while it started, the service key held {marker_then}",
                  next((line for line in events if line.startswith("registry at registration")), "not read"))


def check_registry_after(checks, outcome, loaded, version):
    checks.expect(outcome.registry() == (loaded, version), f"afterwards Loaded={loaded} Version={version}",
                  f"read {outcome.registry()}")


def check_full_report(checks, outcome, report):
    """The report with module collection on."""
    lines = report.splitlines(keepends=True)
    position = 0

    def line_at(index):
        return lines[index] if index < len(lines) else ""

    def take(expected, what):
        nonlocal position
        if checks.expect(line_at(position) == expected, what, repr(line_at(position))):
            position += 1

    take("VQN Dump Begin.\n", "the report begins with its marker")
    crash_time = CRASH_TIME.fullmatch(line_at(position))
    if checks.expect(crash_time is not None, "then the crash time", repr(line_at(position))):
        close, stamp = within_tolerance(crash_time.groups(), outcome.finished_at)
        checks.expect(close, "the crash time is the host's UTC time within a minute", f"{stamp:%H:%M:%S}")
        position += 1
    take("Dump:\n", "then the module table")
    take("start    end    module    pdb    path    guid\n", "with its header")
    # Under Wine every module, the driver's neighbours included, sits at a user-space address; the driver
    # records kernel-space modules only, so by its own design the table has no rows here.
    take(BUGCHECK_LINE, "no module rows (Wine loads nothing at a kernel-space address), then the bug-check "
                        "line with the requested code and parameters")

    context = "".join(lines[position:position + CONTEXT_LINES])
    checks.expect(context.startswith("CONTEXT (") and len(context) == CONTEXT_CHARACTERS
                  and context.count("\n") == CONTEXT_LINES,
                  f"then the {CONTEXT_LINES}-line, {CONTEXT_CHARACTERS}-character register block",
                  f"{context.count(chr(10))} lines, {len(context)} characters")
    position += CONTEXT_LINES
    driver = outcome.driver_range()
    harness = outcome.harness_range()
    rip = CONTEXT_RIP.search(context)
    rsp = CONTEXT_RSP.search(context)
    checks.expect(rip is not None and driver is not None and int(rip.group(1), 16) in driver,
                  "its RIP is inside HesTolvaneDrv.sys", f"RIP {rip.group(1) if rip else '?'}, image {driver}")

    frames = []
    while FRAME.fullmatch(line_at(position)):
        frames.append(FRAME.fullmatch(line_at(position)))
        position += 1
    checks.expect(1 <= len(frames) <= MAX_FRAMES, f"then 1 to {MAX_FRAMES} frame lines", f"{len(frames)}")
    stack_pointers = [int(rsp.group(1), 16) if rsp else 0] + [int(frame.group(1), 16) for frame in frames]
    checks.expect(all(a < b for a, b in zip(stack_pointers, stack_pointers[1:])),
                  "each frame's stack pointer is above the one before (a real unwind, outwards)",
                  " ".join(f"{value:X}" for value in stack_pointers))
    # No module records, so no address can be resolved to module + offset.
    checks.expect(all(frame.group(6) for frame in frames), "every frame prints its raw return address")
    returns = [int(frame.group(6), 16) for frame in frames if frame.group(6)]
    first_harness = next((index for index, address in enumerate(returns) if harness and address in harness), None)
    below_harness = returns[:first_harness] if first_harness is not None else returns
    checks.expect(first_harness is not None and all(driver and address in driver for address in below_harness),
                  "the walk climbs out of the driver into the harness routine that ran the callback",
                  f"harness {harness}, driver {driver}, first harness frame {first_harness}")

    if len(frames) == MAX_FRAMES:
        take("VQN Dump End.\n", "after the full 20 frames the report ends")
    else:
        ending = line_at(position)
        if checks.expect(ending in ("ControlPc\n", "PrintStack\n"),
                         "a walk shorter than 20 frames ends with ControlPc or PrintStack", repr(ending)):
            print(f"      the walk ended after {len(frames)} frames with {ending.strip()!r}")
            position += 1
        take("VQN Dump End.\n", "then the end marker")
    checks.expect(position == len(lines), "and nothing after it", repr("".join(lines[position:])[:80]))


# ---------------------------------------------------------------------------------------------------------
# Scenarios: the client's steps, then the checks of what came out.

START = ["start", HARNESS_SERVICE, "start", DRIVER_SERVICE]


def verify_first_start(checks, outcome):
    check_client(checks, outcome)
    rest = check_start(checks, outcome, "normal boot.\n")
    checks.expect(rest == "", "and nothing more on COM1", repr(rest))
    check_registration(checks, outcome, "Loaded=1 Version=3")
    check_registry_after(checks, outcome, "absent", "3")


def verify_bugcheck(checks, outcome):
    check_client(checks, outcome)
    report = check_start(checks, outcome, "normal boot.\n")
    if report is None:
        return
    check_full_report(checks, outcome, report)
    first = outcome.bugcheck_event(1)
    checks.expect(first is not None and first[1] == 1 and first[2] == len(report) == first[3],
                  "the harness ran one callback, and every report byte waited for the line status first",
                  f"(code, callbacks, bytes, line-status reads) {first}, report {len(report)} bytes")
    second = outcome.bugcheck_event(2)
    checks.expect(second is not None and second[1] == 1 and second[2] == 0,
                  "a second bug check writes nothing: one report per boot", f"{second}")
    print("captured COM1 transcript of the bug check:")
    print("".join(f"    {line}\n" for line in outcome.capture.splitlines()), end="")


def verify_last_bsod(checks, outcome):
    check_client(checks, outcome)
    report = check_start(checks, outcome, "last bsod.\n")
    lines = (report or "").splitlines(keepends=True)
    checks.expect(len(lines) == 4 and lines[0] == "VQN Dump Begin.\n" and CRASH_TIME.fullmatch(lines[1]) is not None
                  and lines[2] == SECOND_BUGCHECK_LINE and lines[3] == "VQN Dump End.\n",
                  "with module collection off the report is four lines: markers, time, bug-check line",
                  repr(report))
    check_registration(checks, outcome, "Loaded=1 Version=3")
    check_registry_after(checks, outcome, "1", "3")


def verify_new_version(checks, outcome):
    check_client(checks, outcome)
    rest = check_start(checks, outcome, "last bsod, but new version.\n")
    checks.expect(rest == "", "and nothing more on COM1", repr(rest))
    check_registration(checks, outcome, "Loaded=1 Version=3")
    check_registry_after(checks, outcome, "absent", "3")


def verify_stop(checks, outcome):
    check_client(checks, outcome)
    rest = check_start(checks, outcome, "normal boot.\n")
    checks.expect(rest == "", "unloading writes nothing to COM1", repr(rest))
    events = outcome.events
    registered = any(line.startswith("KeRegisterBugCheckCallback ") for line in events)
    checks.expect(registered and events[-1] == "KeDeregisterBugCheckCallback -> TRUE",
                  "unload took its bug-check callback back", events[-1] if events else "no events")
    checks.expect(re.search(r"debugstr:.*: Unload!!!$", outcome.wine_log, re.MULTILINE) is not None,
                  "unload printed 'Unload!!!' through DbgPrint")


SCENARIOS = {
    "first_start": (START + ["requests", "show-registry"], verify_first_start),
    "bugcheck": (START + ["bugcheck", *BUGCHECK, "bugcheck", *SECOND_BUGCHECK], verify_bugcheck),
    "last_bsod": (["set-dword", "Loaded", "1", "set-dword", "Version", "3", *START, "bugcheck", *SECOND_BUGCHECK,
                   "show-registry"], verify_last_bsod),
    "new_version": (["set-dword", "Loaded", "1", "set-dword", "Version", "2", *START, "show-registry"],
                    verify_new_version),
    "stop": (START + ["stop", DRIVER_SERVICE, "no-device"], verify_stop),
}


def scenario(arguments, wine, name):
    if not (arguments.workdir / "unusable-imports.json").is_file():
        print(f"FAIL  no prepared prefix under {arguments.workdir}: the setup test has not passed")
        return 1
    started = time.monotonic()
    steps, verify = SCENARIOS[name]
    checks = Checks()
    outcome, directory = run_session(arguments, wine, name, steps)
    verify(checks, outcome)
    print(f"{name}: {checks.failures} failed checks, {time.monotonic() - started:.1f} s (files in {directory})")
    if checks.failures:
        print("end of Wine's log:\n" + "".join(f"  {line}\n" for line in outcome.wine_log.splitlines()[-30:]),
              end="")
    return 1 if checks.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workdir", required=True, type=Path, help="where the prefixes and logs go")
    parser.add_argument("--image", required=True, type=Path, help="HesTolvaneDrv.sys")
    parser.add_argument("--harness", required=True, type=Path, help="HesTolvaneWineHarness.sys")
    parser.add_argument("--client", required=True, type=Path, help="hestolvane-wine-client.exe")
    parser.add_argument("--header", required=True, type=Path, help="drv/platform/nt_driver.h (data imports)")
    parser.add_argument("command", choices=["setup", "scenario"])
    parser.add_argument("name", nargs="?", choices=sorted(SCENARIOS))
    arguments = parser.parse_args()
    wine = find_wine()
    if wine is None:
        print("SKIP: wine64 is not installed (Debian: apt-get install wine64); the Wine tests did not run")
        return SKIP
    if arguments.command == "scenario" and arguments.name is None:
        parser.error("scenario needs a NAME")
    try:
        return setup(arguments, wine) if arguments.command == "setup" else scenario(arguments, wine, arguments.name)
    except RuntimeError as error:
        print(f"FAIL  {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())

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
# A second bug check while the first report is done: the report is written once per boot.
SECOND_BUGCHECK = ["1E", "C0000005", "FFFFF80012345678", "0", "0"]
SECOND_BUGCHECK_LINE = ("VQN: BUGCHECK CODE 1E: 00000000C0000005 FFFFF80012345678 0000000000000000 "
                        "0000000000000000\n")

BANNER = re.compile(r"HesTolvaneDrv ver: (\d+), Load: (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d{1,3})\n")
CRASH_TIME = re.compile(r"CRASHED ON: (\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d{1,3})\n")
CONTEXT_LINES = 25
CONTEXT_CHARACTERS = 710
CONTEXT_RIP = re.compile(r"^         RIP = ([0-9A-F]{16})$", re.MULTILINE)
HEX = "[0-9A-F]{16}"
FRAME = re.compile(rf"({HEX})  \(({HEX})  ({HEX})  ({HEX})  ({HEX})\) (?:({HEX})|(\S+) \+ ({HEX}))\n")
MAX_FRAMES = 20


class Checks:
    def __init__(self, name):
        self.name = name
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
        subprocess.run([self.server, "-k"], env=self.environment, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)


# ---------------------------------------------------------------------------------------------------------
# The base prefix.

def setup(arguments, wine):
    base = arguments.workdir / "prefix"
    shutil.rmtree(arguments.workdir, ignore_errors=True)
    arguments.workdir.mkdir(parents=True)
    tool = Wine(*wine, base, arguments.workdir / "setup.log")
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
    """Wine's own modules under drive_c/windows are only read, so they are hard-linked; everything else
    (the registry above all) is copied."""
    windows = base / "drive_c" / "windows"

    def link_or_copy(source, destination):
        if Path(source).is_relative_to(windows):
            os.link(source, destination)
        else:
            shutil.copy2(source, destination)

    shutil.copytree(base, copy, symlinks=True, copy_function=link_or_copy)


# ---------------------------------------------------------------------------------------------------------
# What came out.

class Run:
    """One scenario's prefix, session and results."""

    def __init__(self, arguments, wine, name):
        self.arguments = arguments
        self.directory = arguments.workdir / "scenarios" / name
        shutil.rmtree(self.directory, ignore_errors=True)
        self.directory.mkdir(parents=True)
        self.prefix = self.directory / "prefix"
        copy_prefix(arguments.workdir / "prefix", self.prefix)
        (self.prefix / CAPTURE).parent.mkdir(parents=True, exist_ok=True)
        self.wine = Wine(*wine, self.prefix, self.directory / "wine.log")
        self.client_output = ""
        self.client_status = None
        self.finished_at = None

    def client(self, *steps):
        self.wine.start_server()
        try:
            self.client_status, self.client_output = self.wine.wine(self.arguments.client, *steps, capture=True)
        finally:
            self.finished_at = datetime.now(timezone.utc)
            self.wine.kill()
        print("client:\n" + "".join(f"  {line}\n" for line in self.client_output.splitlines()), end="")

    def capture(self):
        path = self.prefix / CAPTURE
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def events(self):
        path = self.prefix / EVENTS
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def wine_log(self):
        return self.wine.log.read_text(errors="replace")

    def registry(self):
        match = re.search(r"^registry: Loaded=(\S+) Version=(\S+)$", self.client_output, re.MULTILINE)
        return (match.group(1), match.group(2)) if match else None

    def image_range(self, pattern):
        for line in self.events():
            match = re.search(pattern, line)
            if match:
                return int(match.group(1), 16), int(match.group(2), 16)
        return None

    def driver_range(self):
        return self.image_range(r"^loading HesTolvaneDrv\.sys at ([0-9A-F]+)-([0-9A-F]+)$")

    def harness_range(self):
        return self.image_range(r" harness=([0-9A-F]+)-([0-9A-F]+)$")

    def unusable_imports(self):
        return set(json.loads((self.arguments.workdir / "unusable-imports.json").read_text()))


def within_tolerance(fields, reference):
    year, month, day, hour, minute, second, milliseconds = (int(field) for field in fields)
    stamp = datetime(year, month, day, hour, minute, second, milliseconds * 1000, tzinfo=timezone.utc)
    return abs(stamp - reference) <= TIME_TOLERANCE, stamp


def check_client(checks, run):
    failed = [line for line in run.client_output.splitlines() if line.startswith("FAIL")]
    checks.expect(run.client_status == 0 and not failed, "every client step succeeded",
                  "; ".join(failed) or f"exit status {run.client_status}")


def check_start(checks, run, boot_line):
    """The load banner and the boot-state line, and nothing else yet. Returns what follows them."""
    text = run.capture()
    banner = BANNER.match(text)
    if not checks.expect(banner is not None, "COM1 starts with the load banner", repr(text[:80])):
        return None
    checks.expect(banner.group(1) == "3", "the banner names version 3", banner.group(0).strip())
    close, stamp = within_tolerance(banner.groups()[1:], run.finished_at)
    checks.expect(close, "the banner's UTC time is within a minute of the host's",
                  f"{stamp:%Y-%m-%d %H:%M:%S} against {run.finished_at:%Y-%m-%d %H:%M:%S}")
    rest = text[banner.end():]
    checks.expect(rest.startswith(boot_line), f"then {boot_line!r}", repr(rest[:40]))
    return rest[len(boot_line):]


def check_registration(checks, run, marker_then):
    events = run.events()
    checks.expect("harness loaded; InitSafeBootMode=0" in events,
                  "InitSafeBootMode reads 0 through Wine's export (the driver's safe-mode test passes)",
                  next((line for line in events if "InitSafeBootMode" in line), "harness did not load"))
    patched = {line.split()[1] for line in events if line.startswith("patched ")}
    unusable = run.unusable_imports()
    checks.expect(patched == unusable, "the harness stood in for exactly the imports Wine does not provide",
                  f"patched {sorted(patched)}, unusable {sorted(unusable)}")
    registration = [line for line in events if line.startswith("KeRegisterBugCheckCallback ")]
    checks.expect(registration == ["KeRegisterBugCheckCallback component=HesTolvane routine=in-driver "
                                   "buffer=0000000000000000 length=0 -> TRUE"],
                  "one bug-check callback registered: its own routine, no buffer, component HesTolvane",
                  "; ".join(registration) or "none")
    checks.expect(f"registry at registration: {marker_then}" in events,
                  f"while starting, the service key held {marker_then}",
                  next((line for line in events if line.startswith("registry at registration")), "not read"))


def check_registry_after(checks, run, loaded, version):
    checks.expect(run.registry() == (loaded, version), f"afterwards Loaded={loaded} Version={version}",
                  f"read {run.registry()}")


def bugcheck_event(run, number):
    for line in run.events():
        match = re.match(rf"^bugcheck {number} code=(\w+) callbacks=(\d+) bytes=(\d+) line-status-reads=(\d+) ",
                         line)
        if match:
            return match.group(1), int(match.group(2)), int(match.group(3)), int(match.group(4))
    return None


def check_full_report(checks, run, report):
    """The report with module collection on. Returns True when its shape was complete enough to print."""
    lines = report.splitlines(keepends=True)
    position = 0

    def take(expected, what):
        nonlocal position
        line = lines[position] if position < len(lines) else ""
        if checks.expect(line == expected, what, repr(line)):
            position += 1
            return True
        return False

    if not take("VQN Dump Begin.\n", "the report begins with its marker"):
        return False
    crash_time = CRASH_TIME.fullmatch(lines[position] if position < len(lines) else "")
    if checks.expect(crash_time is not None, "then the crash time", repr(lines[position:position + 1])):
        close, stamp = within_tolerance(crash_time.groups(), run.finished_at)
        checks.expect(close, "the crash time is the host's UTC time within a minute", f"{stamp:%H:%M:%S}")
        position += 1
    take("Dump:\n", "then the module table")
    take("start    end    module    pdb    path    guid\n", "with its header")
    # Under Wine every module, the driver's neighbours included, sits at a user-space address; the driver
    # records kernel-space modules only, so by its own design the table is empty here.
    take(BUGCHECK_LINE, "and no rows (Wine loads nothing at kernel-space addresses), then the bug-check line "
                        "with the requested code and parameters")

    context = "".join(lines[position:position + CONTEXT_LINES])
    checks.expect(context.startswith("CONTEXT (") and len(context) == CONTEXT_CHARACTERS
                  and context.count("\n") == CONTEXT_LINES,
                  f"then the {CONTEXT_LINES}-line, {CONTEXT_CHARACTERS}-character register block",
                  f"{context.count(chr(10))} lines, {len(context)} characters")
    driver = run.driver_range()
    harness = run.harness_range()
    rip = CONTEXT_RIP.search(context)
    checks.expect(rip is not None and driver is not None and driver[0] <= int(rip.group(1), 16) < driver[1],
                  "its RIP is inside HesTolvaneDrv.sys", f"RIP {rip.group(1) if rip else '?'}, image {driver}")
    position += CONTEXT_LINES

    frames = []
    while position < len(lines) and FRAME.fullmatch(lines[position]):
        frames.append(FRAME.fullmatch(lines[position]))
        position += 1
    checks.expect(1 <= len(frames) <= MAX_FRAMES, f"then 1 to {MAX_FRAMES} frame lines", f"{len(frames)}")
    stack_pointers = [int(frame.group(1), 16) for frame in frames]
    checks.expect(all(a < b for a, b in zip(stack_pointers, stack_pointers[1:])),
                  "each frame's stack pointer is above the previous one (a real unwind, outwards)")
    # No module records, so no address can be resolved to module + offset.
    checks.expect(all(frame.group(6) for frame in frames), "every frame prints its raw return address")
    returns = [int(frame.group(6), 16) for frame in frames if frame.group(6)]
    inside = lambda image, address: image is not None and image[0] <= address < image[1]
    first_harness = next((index for index, address in enumerate(returns) if inside(harness, address)), None)
    checks.expect(first_harness is not None and all(inside(driver, address) for address in returns[:first_harness]),
                  "the walk climbs out of the driver into the harness routine that ran the callback",
                  f"harness {harness}, driver {driver}, first harness frame {first_harness}")

    ending = lines[position] if position < len(lines) else ""
    if len(frames) == MAX_FRAMES:
        checks.expect(ending == "VQN Dump End.\n", "after the full 20 frames the report ends", repr(ending))
    else:
        checks.expect(ending in ("ControlPc\n", "PrintStack\n"),
                      "a walk shorter than 20 frames ends with ControlPc or PrintStack", repr(ending))
        print(f"      the walk ended after {len(frames)} frames with {ending.strip()!r}")
        position += 1
        take("VQN Dump End.\n", "then the end marker")
    checks.expect(position == len(lines), "and nothing after it", repr("".join(lines[position:])[:80]))
    return True


# ---------------------------------------------------------------------------------------------------------
# Scenarios.

def start_steps():
    return ["start", HARNESS_SERVICE, "start", DRIVER_SERVICE]


def scenario_first_start(checks, run):
    run.client(*start_steps(), "requests", "show-registry")
    check_client(checks, run)
    rest = check_start(checks, run, "normal boot.\n")
    checks.expect(rest == "", "and nothing more on COM1", repr(rest))
    check_registration(checks, run, "Loaded=1 Version=3")
    check_registry_after(checks, run, "absent", "3")


def scenario_bugcheck(checks, run):
    run.client(*start_steps(), "bugcheck", *BUGCHECK, "bugcheck", *SECOND_BUGCHECK)
    check_client(checks, run)
    report = check_start(checks, run, "normal boot.\n")
    if report is None:
        return
    complete = check_full_report(checks, run, report)
    first = bugcheck_event(run, 1)
    checks.expect(first is not None and first[1] == 1 and first[2] == len(report) == first[3],
                  "the harness ran one callback, and every report byte waited for the line status first",
                  f"(code, callbacks, bytes, line-status reads) {first}, report {len(report)} bytes")
    second = bugcheck_event(run, 2)
    checks.expect(second is not None and second[1] == 1 and second[2] == 0,
                  "a second bug check writes nothing: one report per boot", f"{second}")
    if complete:
        print("captured COM1 transcript of the bug check:")
        print("".join(f"    {line}\n" for line in run.capture().splitlines()), end="")


def scenario_last_bsod(checks, run):
    run.client("set-dword", "Loaded", "1", "set-dword", "Version", "3", *start_steps(), "bugcheck",
               *SECOND_BUGCHECK, "show-registry")
    check_client(checks, run)
    report = check_start(checks, run, "last bsod.\n")
    if report is None:
        return
    lines = report.splitlines(keepends=True)
    checks.expect(len(lines) == 4 and lines[0] == "VQN Dump Begin.\n" and CRASH_TIME.fullmatch(lines[1])
                  and lines[2] == SECOND_BUGCHECK_LINE and lines[3] == "VQN Dump End.\n",
                  "with module collection off the report is four lines: markers, time, bug-check line",
                  repr(report))
    check_registration(checks, run, "Loaded=1 Version=3")
    check_registry_after(checks, run, "1", "3")


def scenario_new_version(checks, run):
    run.client("set-dword", "Loaded", "1", "set-dword", "Version", "2", *start_steps(), "show-registry")
    check_client(checks, run)
    rest = check_start(checks, run, "last bsod, but new version.\n")
    checks.expect(rest == "", "and nothing more on COM1", repr(rest))
    check_registration(checks, run, "Loaded=1 Version=3")
    check_registry_after(checks, run, "absent", "3")


def scenario_stop(checks, run):
    run.client(*start_steps(), "stop", DRIVER_SERVICE, "no-device")
    check_client(checks, run)
    rest = check_start(checks, run, "normal boot.\n")
    checks.expect(rest == "", "unloading writes nothing to COM1", repr(rest))
    events = run.events()
    registered = "KeRegisterBugCheckCallback" in " ".join(events)
    checks.expect(registered and events[-1] == "KeDeregisterBugCheckCallback -> TRUE",
                  "unload took its bug-check callback back", events[-1] if events else "no events")
    checks.expect(re.search(r"debugstr:.*: Unload!!!$", run.wine_log(), re.MULTILINE) is not None,
                  "unload printed 'Unload!!!' through DbgPrint")


SCENARIOS = {
    "first_start": scenario_first_start,
    "bugcheck": scenario_bugcheck,
    "last_bsod": scenario_last_bsod,
    "new_version": scenario_new_version,
    "stop": scenario_stop,
}


def scenario(arguments, wine, name):
    if not (arguments.workdir / "unusable-imports.json").is_file():
        print(f"FAIL  no prepared prefix under {arguments.workdir}: the setup test has not passed")
        return 1
    started = time.monotonic()
    checks = Checks(name)
    run = Run(arguments, wine, name)
    try:
        SCENARIOS[name](checks, run)
    except RuntimeError as error:
        checks.expect(False, "Wine ran to the end", str(error))
    print(f"{name}: {checks.failures} failed checks, {time.monotonic() - started:.1f} s "
          f"(files in {run.directory})")
    if checks.failures:
        print("end of Wine's log:\n" + "".join(f"  {line}\n" for line in run.wine_log().splitlines()[-30:]),
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
    if arguments.command == "setup":
        return setup(arguments, wine)
    if arguments.name is None:
        parser.error("scenario needs a NAME")
    return scenario(arguments, wine, arguments.name)


if __name__ == "__main__":
    sys.exit(main())

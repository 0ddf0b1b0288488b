#!/usr/bin/python3
# Shows that every check of the Wine scenarios can fail: made-up outcomes, right ones first, then each with
# one thing wrong, go through the same checks the real runs use. Needs no Wine.
"""Exit status 0 when every right outcome passes and every broken one fails the check meant to catch it."""

import contextlib
import io
import sys
from dataclasses import replace
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_wine_e2e as e2e  # noqa: E402

NOW = datetime(2026, 3, 1, 12, 30, 15, 250000, tzinfo=timezone.utc)
DRIVER = (0x21B0000, 0x21BB000)
HARNESS = (0x21A0000, 0x21A7000)
CONTEXT_ADDRESS = 0x1D9EC90
CONTEXT_RSP = 0x1D9EB90
UNUSABLE = {"KeDeregisterBugCheckCallback", "KeRegisterBugCheckCallback", "KiBugCheckData"}


def timestamp(moment):
    return f"{moment:%Y-%m-%d %H:%M:%S}:{moment.microsecond // 1000}"


def banner(moment=NOW, version=3):
    return f"HesTolvaneDrv ver: {version}, Load: {timestamp(moment)}\n"


# The register block exactly as the driver formats it.
CONTEXT_FORMAT = ("CONTEXT ({:016X}):\n         GS = {:04X}\n         FS = {:04X}\n         ES = {:04X}\n"
                  "         DS = {:04X}\n         SS = {:04X}\n         CS = {:04X}\n         EFLAGS = {:08X}\n"
                  "         RSI= {:016X}\n" + "".join(f"         {name} = {{:016X}}\n" for name in
                                                    ["RDI", "RAX", "RBX", "RCX", "RDX", "RIP", "RSP", "RBP", "R8",
                                                     "R9", "R10", "R11", "R12", "R13", "R14", "R15"]))


def context_block(rip=DRIVER[0] + 0x1DDA, rsp=CONTEXT_RSP):
    registers = [0x27, 0x21B5000, 0xB, CONTEXT_ADDRESS, 0x3F8, rip, rsp, 0x21A1380, 0x5B, 0x5B, 0xF, 0x5B, 0xD1,
                 0xFFFFFFF0, 0x21B5020, 0x40]
    return CONTEXT_FORMAT.format(CONTEXT_ADDRESS, 0, 0, 0, 0, 0x2B, 0x33, 0x202, CONTEXT_ADDRESS, *registers)


def frame(rsp, return_address):
    words = "  ".join(f"{word:016X}" for word in (0x118, 0x31CAA355C, 0x34E828, 0x100000000))
    return f"{rsp:016X}  ({words}) {return_address:016X}\n"


def frames(count=4, first_return=HARNESS[0] + 0x13FE):
    returns = [first_return] + [0x31CAA2D2F + 0x100 * index for index in range(count - 2)] + [0]
    return "".join(frame(CONTEXT_RSP + 0xC00 + 0x90 * index, address) for index, address in enumerate(returns))


def full_report(walk=None, ending="ControlPc\n", bugcheck_line=e2e.BUGCHECK_LINE, module_rows=""):
    return ("VQN Dump Begin.\n" f"CRASHED ON: {timestamp(NOW)}\n" "Dump:\n"
            "start    end    module    pdb    path    guid\n" + module_rows + bugcheck_line + context_block()
            + (frames() if walk is None else walk) + ending + "VQN Dump End.\n")


def short_report(bugcheck_line=e2e.SECOND_BUGCHECK_LINE):
    return "VQN Dump Begin.\n" f"CRASHED ON: {timestamp(NOW)}\n" + bugcheck_line + "VQN Dump End.\n"


def start_events(marker="Loaded=1 Version=3", safe_boot=0, patched=tuple(sorted(UNUSABLE)),
                 component="HesTolvane"):
    return ([f"harness loaded; InitSafeBootMode={safe_boot}", "harness ready",
             f"loading HesTolvaneDrv.sys at {DRIVER[0]:016X}-{DRIVER[1]:016X}"]
            + [f"patched {name} (import slot at +37D0)" for name in patched]
            + [f"KeRegisterBugCheckCallback component={component} routine=in-driver buffer=0000000000000000 "
               "length=0 -> TRUE", f"registry at registration: {marker}"])


def bugcheck_events(first_bytes, second_bytes=0, reads=None):
    harness = f"harness={HARNESS[0]:016X}-{HARNESS[1]:016X}"
    return [f"bugcheck 1 code=D1 callbacks=1 bytes={first_bytes} line-status-reads="
            f"{first_bytes if reads is None else reads} {harness}",
            f"bugcheck 2 code=1E callbacks=1 bytes={second_bytes} line-status-reads={second_bytes} {harness}"]


def outcome(capture, events, registry=None, client_extra="", wine_log="", status=0):
    output = "ok start: HesTolvaneWineHarness\nok start: HesTolvaneDrv\n" + client_extra
    if registry:
        output += f"registry: Loaded={registry[0]} Version={registry[1]}\n"
    return e2e.Outcome(client_status=status, client_output=output, capture=capture, events=events,
                       wine_log=wine_log, finished_at=NOW + timedelta(seconds=2), unusable_imports=set(UNUSABLE))


def right_outcomes():
    report = full_report()
    return {
        "first_start": outcome(banner() + "normal boot.\n", start_events(), ("absent", "3")),
        "bugcheck": outcome(banner() + "normal boot.\n" + report, start_events() + bugcheck_events(len(report))),
        "last_bsod": outcome(banner() + "last bsod.\n" + short_report(), start_events(), ("1", "3")),
        "new_version": outcome(banner() + "last bsod, but new version.\n", start_events(), ("absent", "3")),
        "stop": outcome(banner() + "normal boot.\n", start_events() + ["KeDeregisterBugCheckCallback -> TRUE"],
                        wine_log="0110:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: Unload!!!\n"),
    }


def other_right_outcomes():
    """Walks that end differently, and still rightly."""
    return [("bugcheck", "a walk of the full 20 frames", with_report(full_report(walk=frames(count=20), ending=""))),
            ("bugcheck", "a walk that met an unreadable stack", with_report(full_report(ending="PrintStack\n")))]


def with_report(report, **event_options):
    return {"capture": banner() + "normal boot.\n" + report,
            "events": start_events() + bugcheck_events(len(report), **event_options)}


def faults():
    """(scenario, what is wrong, changes to the right outcome, words of the check that must fail)"""
    right = right_outcomes()
    twenty_one = "".join(frame(CONTEXT_RSP + 0xC00 + 0x90 * index, HARNESS[0] + 0x13FE) for index in range(21))
    descending = frames().splitlines(keepends=True)
    descending[1], descending[2] = descending[2], descending[1]
    resolved = frames().replace(f"{0x31CAA2D2F:016X}\n", "ntoskrnl.exe + 0000000000012D2F\n")
    return [
        ("first_start", "a client step failed", {"client_output": "FAIL device-control: error 87 (expected 1)\n"},
         "every client step succeeded"),
        ("first_start", "the client exited with an error", {"client_status": 1}, "every client step succeeded"),
        ("first_start", "no banner", {"capture": "normal boot.\n"}, "starts with the load banner"),
        ("first_start", "version 2 in the banner", {"capture": banner(version=2) + "normal boot.\n"},
         "names version 3"),
        ("first_start", "a banner time two minutes off",
         {"capture": banner(NOW - timedelta(minutes=2)) + "normal boot.\n"}, "within a minute of the host's"),
        ("first_start", "the wrong boot state", {"capture": banner() + "last bsod.\n"}, "then 'normal boot.\\n'"),
        ("first_start", "more output after start-up", {"capture": banner() + "normal boot.\nx"},
         "nothing more on COM1"),
        ("first_start", "InitSafeBootMode not 0", {"events": start_events(safe_boot=1)}, "InitSafeBootMode reads 0"),
        ("first_start", "a stand-in missing", {"events": start_events(patched=("KeRegisterBugCheckCallback",))},
         "exactly the imports Wine does not provide"),
        ("first_start", "the wrong component", {"events": start_events(component="Other")},
         "one bug-check callback registered"),
        ("first_start", "no marker while starting", {"events": start_events(marker="Loaded=absent Version=3")},
         "the service key held Loaded=1 Version=3"),
        ("first_start", "the marker left behind",
         {"client_output": right["first_start"].client_output.replace("Loaded=absent", "Loaded=1")},
         "afterwards Loaded=absent Version=3"),
        ("bugcheck", "no begin marker", with_report(full_report()[len("VQN Dump Begin.\n"):]),
         "begins with its marker"),
        ("bugcheck", "wrong bug-check parameters",
         with_report(full_report(bugcheck_line=e2e.BUGCHECK_LINE.replace("0000000000000002", "0000000000000003"))),
         "requested code and parameters"),
        ("bugcheck", "a module row", with_report(full_report(module_rows="0 0  x  x  x  0\n")),
         "requested code and parameters"),
        ("bugcheck", "a short register block",
         with_report(full_report().replace("         GS = 0000\n", "        GS = 0000\n")), "710-character"),
        ("bugcheck", "RIP outside the driver",
         with_report(full_report().replace(f"RIP = {DRIVER[0] + 0x1DDA:016X}", f"RIP = {HARNESS[0]:016X}")),
         "its RIP is inside HesTolvaneDrv.sys"),
        ("bugcheck", "21 frames", with_report(full_report(walk=twenty_one, ending="")), "1 to 20 frame lines"),
        ("bugcheck", "stack pointers out of order", with_report(full_report(walk="".join(descending))),
         "stack pointer is above"),
        ("bugcheck", "a resolved frame", with_report(full_report(walk=resolved)), "raw return address"),
        ("bugcheck", "the walk never reaches the harness",
         with_report(full_report(walk=frames(first_return=0x31CAA0000))), "climbs out of the driver"),
        ("bugcheck", "a short walk without its ending", with_report(full_report(ending="")),
         "ends with ControlPc or PrintStack"),
        ("bugcheck", "a crash time two minutes off",
         with_report(full_report().replace(timestamp(NOW), timestamp(NOW - timedelta(minutes=2)))),
         "crash time is the host's UTC time"),
        ("bugcheck", "no module table", with_report(full_report().replace("Dump:\n", "")), "then the module table"),
        ("bugcheck", "a full walk that still reports an ending",
         with_report(full_report(walk=frames(count=20))), "after the full 20 frames the report ends"),
        ("bugcheck", "no end marker", with_report(full_report()[:-len("VQN Dump End.\n")]), "then the end marker"),
        ("bugcheck", "output after the end marker", with_report(full_report() + "x\n"), "nothing after it"),
        ("bugcheck", "bytes sent without waiting for the line status",
         with_report(full_report(), reads=10), "waited for the line status"),
        ("bugcheck", "a second report", with_report(full_report(), second_bytes=100), "one report per boot"),
        ("last_bsod", "module collection still on",
         {"capture": banner() + "last bsod.\n" + full_report()}, "report is four lines"),
        ("last_bsod", "the marker removed",
         {"client_output": right["last_bsod"].client_output.replace("Loaded=1", "Loaded=absent")},
         "afterwards Loaded=1 Version=3"),
        ("new_version", "the wrong boot state", {"capture": banner() + "last bsod.\n"},
         "then 'last bsod, but new version.\\n'"),
        ("new_version", "the version not rewritten",
         {"client_output": right["new_version"].client_output.replace("Version=3", "Version=2")},
         "afterwards Loaded=absent Version=3"),
        ("stop", "the callback left registered", {"events": start_events()}, "took its bug-check callback back"),
        ("stop", "no unload message", {"wine_log": ""}, "printed 'Unload!!!'"),
        ("stop", "unload writing to COM1", {"capture": banner() + "normal boot.\nUnload\n"},
         "unloading writes nothing"),
    ]


def run_checks(name, result):
    checks = e2e.Checks()
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        e2e.SCENARIOS[name][1](checks, result)
    return [line[len("FAIL  "):] for line in output.getvalue().splitlines() if line.startswith("FAIL  ")]


def main():
    problems = 0
    right = right_outcomes()
    for name, what, changes in [(name, "the right outcome", {}) for name in right] + other_right_outcomes():
        failed = run_checks(name, replace(right[name], **changes))
        print(f"{'PASS' if not failed else 'FAIL'}  {name}: {what} passes"
              + "".join(f"\n      unexpected: {line}" for line in failed))
        problems += bool(failed)
    for name, what, changes, expected in faults():
        failed = run_checks(name, replace(right[name], **changes))
        caught = any(expected in line for line in failed)
        print(f"{'PASS' if caught else 'FAIL'}  {name}: {what} fails '{expected}'"
              + ("" if caught else f" (failed instead: {failed or 'nothing'})"))
        problems += not caught
    print(f"{problems} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

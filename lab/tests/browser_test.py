#!/usr/bin/python3
"""hestolvane-lab end to end in a real browser: a lab process with machines fed by hestolvane-sim over
loopback TCP and followed files, driven through headless Chromium by Selenium. Exits 77 (skipped) only
when Chromium or its driver is not installed."""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SKIPPED = 77
HOSTILE = '"><img src=x onerror=alert(1)><script>alert(2)</script>.sys'


class SerialServer:
    """A serial server as QEMU's -serial tcp:...,server,nowait: one collector at a time."""

    def __init__(self):
        self.listening = socket.create_server(("127.0.0.1", 0))
        self.port = self.listening.getsockname()[1]
        self.connected = None
        self.ready = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listening.accept()
            self.connected = client
            self.ready.set()

    def send(self, data):
        if not self.ready.wait(60):
            raise AssertionError("the lab never connected to the serial server")
        self.connected.sendall(data)


def sim(binary, *arguments):
    return subprocess.run([binary, *arguments], check=True, capture_output=True).stdout


def without_report(capture):
    begin = capture.index(b"VQN Dump Begin.")
    end = capture.index(b"VQN Dump End.") + len(b"VQN Dump End.\n")
    return capture[:begin] + capture[end:]


def api(base, path):
    with urllib.request.urlopen(base + path, timeout=10) as response:
        return json.load(response)


def eventually(what, check, seconds=60, explain=None):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            result = check()
            if result:
                return result
        except Exception:  # a page mid-reload; try again
            pass
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what + (": " + explain() if explain else ""))


def act_until(what, action, arrived):
    """Repeats a person's action until its effect shows: an open page reloads itself whenever the record
    changes, and a reload between finding an element and using it leaves the element stale."""
    def attempt():
        if arrived():
            return True
        action()
        return arrived()
    eventually(what, attempt)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lab", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()

    chromium = shutil.which("chromium")
    chromedriver = shutil.which("chromedriver")
    if not chromium or not chromedriver:
        print("skipped: chromium or chromium-driver is not installed (scripts/install-deps.sh installs them)")
        return SKIPPED
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    work = tempfile.mkdtemp(prefix="hestolvane-lab-browser-")
    os.makedirs(args.screenshots, exist_ok=True)
    vm1 = SerialServer()
    vm2 = os.path.join(work, "vm2-serial.log")
    vm3 = os.path.join(work, "vm3-serial.log")
    with open(vm2, "wb") as capture:
        capture.write(sim(args.sim, "--bugcheck", "1E,C0000005,FFFFF80012345678,0,0"))
    port = socket.create_server(("127.0.0.1", 0))
    web = port.getsockname()[1]
    port.close()
    config = os.path.join(work, "lab.toml")
    with open(config, "w") as out:
        out.write(f'''index = "{work}/lab.db"
listen = "127.0.0.1:{web}"
[symbols]
images = {{ "hestolvane-sim.sys" = "{args.sim}" }}
triage = ["hestolvane-sim.sys!BugCheckDumpCallback=ignore", "hestolvane-sim.sys!sim::*=ignore"]
[[machine]]
name = "vm1"
source = "tcp://127.0.0.1:{vm1.port}"
tags = {{ pool = "tcp", build = "26100" }}
[[machine]]
name = "vm2"
source = "file://{vm2}"
tags = {{ pool = "files" }}
[[machine]]
name = "vm3"
source = "file://{vm3}"
tags = {{ pool = "files" }}
''')
    log = open(os.path.join(work, "lab.log"), "wb")
    lab = subprocess.Popen([args.lab, "--config", config], stderr=log)
    base = f"http://127.0.0.1:{web}"
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    browser = None
    try:
        eventually("the dashboard", lambda: api(base, "/api/generation"))
        browser = webdriver.Chrome(service=Service(chromedriver), options=options)
        vm1.send(sim(args.sim))

        # The buckets of both machines appear on the open page by themselves.
        browser.get(base + "/buckets")
        eventually("two buckets", lambda: len(browser.find_elements(By.CSS_SELECTOR, "tr.bucket")) == 2)

        # Open the bucket of vm1's crash, mark it fixed with a note.
        act_until("the bucket's page", lambda: browser.find_element(By.PARTIAL_LINK_TEXT, "0x50_").click(),
                  lambda: "/bucket?" in browser.current_url)

        def mark_fixed():
            note = browser.find_element(By.CSS_SELECTOR, "#fix input[name=note]")
            note.clear()
            note.send_keys("fixed in build 7")
            browser.find_element(By.CSS_SELECTOR, "#fix button").click()
        act_until("the bucket marked fixed", mark_fixed,
                  lambda: "fixed in build 7" in browser.find_element(By.ID, "state").text)

        # The same crash again: the open bucket page turns to regressed without being touched.
        vm1.send(sim(args.sim))
        eventually("the bucket regressed", lambda: browser.find_element(By.ID, "state").text.startswith("regressed"))
        browser.get(base + "/buckets")
        eventually("the regressed mark", lambda: browser.find_elements(By.CSS_SELECTOR, "span.mark.regressed"))

        # Markup in a module name is shown as text and runs nothing.
        hostile = sim(args.sim).replace(b"hal.dll", HOSTILE.encode())
        with open(vm2, "ab") as capture:
            capture.write(hostile)
        def hostile_report():
            total = sum(bucket["count"] for bucket in api(base, "/api/buckets")["buckets"])
            for number in range(1, total + 1):
                if HOSTILE in api(base, f"/api/report?id={number}")["raw"]:
                    return number
            return None

        report = eventually("the report with markup in a module name", hostile_report)
        browser.get(f"{base}/report?id={report}")
        # The page may be reloading itself (the record moved on since it was taken): look until it is shown.
        def module_names():
            return [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "#modules tr.module td:nth-child(3)")]
        eventually("the module name shown as text", lambda: any(HOSTILE in name for name in module_names()),
                   seconds=20, explain=lambda: json.dumps(module_names()))
        if browser.find_elements(By.CSS_SELECTOR, "main img, main script"):
            raise AssertionError("markup from the capture became elements")
        try:
            browser.switch_to.alert
            raise AssertionError("a script from the capture ran")
        except NoAlertPresentException:
            pass
        browser.set_window_size(1400, 2000)
        browser.save_screenshot(os.path.join(args.screenshots, "lab-report.png"))
        browser.set_window_size(1400, 900)

        # vm3's first boot crashed and its report was lost; its second boot says so. The Machines page is
        # opened afresh every two seconds until it shows, as a person would: this step is about the flag,
        # and the steps above cover pages that update themselves.
        with open(vm3, "wb") as capture:
            capture.write(without_report(sim(args.sim)) + sim(args.sim, "--no-tracking"))
        opened = [0.0]
        def vm3_flagged():
            if time.monotonic() - opened[0] > 2:
                browser.get(base + "/machines")
                opened[0] = time.monotonic()
            return "crash without a report" in browser.find_element(
                By.CSS_SELECTOR, 'tr.machine[data-name="vm3"] td.health').text
        eventually("vm3 flagged", vm3_flagged,
                   explain=lambda: json.dumps([machine for machine in api(base, "/api/machines")["machines"]
                                               if machine.get("name") == "vm3"]))
        browser.save_screenshot(os.path.join(args.screenshots, "lab-machines.png"))
        browser.get(base + "/buckets")
        eventually("three buckets", lambda: len(browser.find_elements(By.CSS_SELECTOR, "tr.bucket")) == 3)
        browser.save_screenshot(os.path.join(args.screenshots, "lab-buckets.png"))
    finally:
        if browser is not None:
            browser.quit()
        lab.terminate()
        status = lab.wait(30)
        log.close()
        with open(os.path.join(work, "lab.log")) as text:
            sys.stderr.write(text.read())
        shutil.rmtree(work, ignore_errors=True)
    # A sanitizer's finding in the collector shows as its exit status.
    if status != 0:
        raise AssertionError(f"hestolvane-lab ended with status {status}")
    print("browser test passed; screenshots in", args.screenshots)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as failure:
        print("FAILED:", failure, file=sys.stderr)
        sys.exit(1)

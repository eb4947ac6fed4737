#!/usr/bin/env python3
"""The emulator's page in a real browser: Debian's Chromium, headless, through WebDriver.

Plays the voicemail scenarios with the page's own buttons and checks that the page follows,
live, what the daemons and the carrier do. Keeps a screenshot of each step in --screenshots.
"""
import argparse
import io
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
import wave

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TIMEOUT = 60  # seconds; generous for a loaded 2-core machine


def start_emulator(binary, service_dir, state):
    env = dict(os.environ)
    env.pop("TAMO_BUS_ADDRESS", None)
    log = open(os.path.join(state, "emulator.out"), "w")
    process = subprocess.Popen([binary, "--state-dir", state, "--service-dir", service_dir],
                               stdout=log, stderr=subprocess.STDOUT, env=env)
    deadline = time.time() + TIMEOUT
    while not os.path.exists(os.path.join(state, "env")):
        if process.poll() is not None or time.time() > deadline:
            raise RuntimeError("the emulator did not get ready; see " + log.name)
        time.sleep(0.1)
    settings = {}
    with open(os.path.join(state, "env")) as lines:
        for line in lines:
            name, _, value = line[len("export "):].strip().partition("=")
            settings[name] = value.strip("'")
    return process, settings


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1100",
                     "--autoplay-policy=no-user-gesture-required"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class PageTest:
    def __init__(self, driver, url, screenshots):
        self.driver, self.url, self.screenshots, self.step = driver, url, screenshots, 0

    def shot(self, name):
        self.step += 1
        self.driver.save_screenshot(os.path.join(self.screenshots, f"{self.step:02d}-{name}.png"))

    def wait(self, what, condition):
        try:
            # Each refresh replaces the tables' rows: an element read a moment ago may be gone.
            return WebDriverWait(self.driver, TIMEOUT, poll_frequency=0.2,
                                 ignored_exceptions=[StaleElementReferenceException]).until(
                lambda _: condition())
        except Exception:
            self.shot("failed-" + what.replace(" ", "-"))
            raise AssertionError("gave up waiting for " + what)

    def rows(self, table):
        return {row.get_attribute("data-call"): row
                for row in self.driver.find_elements(By.CSS_SELECTOR, f"#{table} tr")}

    def text(self, table, call, column):
        row = self.rows(table).get(call)
        return row.find_element(By.CLASS_NAME, column).text if row else None

    def click(self, call, button):
        def clicked():
            self.rows("messages")[call].find_element(By.CLASS_NAME, button).click()
            return True
        self.wait(f"{button} on {call}", clicked)

    def assert_no_console_error(self):
        # Reading the browser's log empties it: each call sees the lines since the last.
        errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
        assert not errors, errors

    def run(self):
        d = self.driver
        d.get(self.url)
        self.wait("the page to be live", lambda: d.find_element(By.ID, "live").text == "live"
                  and d.find_element(By.TAG_NAME, "body").get_attribute("data-refreshed"))
        self.wait("the platform's activities", lambda: "KelVvmSimStatus" in
                  d.find_element(By.ID, "activities").text)
        self.shot("loaded")
        self.assert_no_console_error()
        assert "phone's voicemail box" in d.page_source

        d.find_element(By.CSS_SELECTOR, "button[data-action=newVoicemail]").click()
        self.wait("the new messages with their audio", lambda: all(
            (self.text("messages", call, "audio") or "").endswith(" B")
            for call in ("1001", "1002", "5001")))
        self.shot("new-voicemail")
        assert self.text("calls", "5001", "state") is not None

        # The play button's audio: a WAV of the message's length, which the browser decodes.
        self.click("5001", "play")
        source = self.wait("the player's source", lambda: d.find_element(
            By.ID, "player").get_attribute("src"))
        duration = d.execute_async_script("""
            const player = document.getElementById('player'), done = arguments[0];
            if (player.readyState >= 1) return done(player.duration);
            player.onloadedmetadata = () => done(player.duration);
            player.onerror = () => done('error ' + player.error.code);""")
        assert abs(duration - 3) < 0.2, duration
        with urllib.request.urlopen(source) as response:
            assert response.headers["Content-Type"] == "audio/wav"
            data = response.read()
        assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", data[:16]
        with wave.open(io.BytesIO(data)) as audio:
            assert (audio.getnchannels(), audio.getsampwidth(), audio.getframerate()) == (1, 2, 8000)
            assert abs(audio.getnframes() - 3 * 8000) <= 800, audio.getnframes()
        self.shot("played")

        self.click("1001", "listen")
        self.wait("1001 read and archived", lambda: self.text("messages", "1001", "read") == "yes"
                  and self.text("calls", "1001", "state") == "ARC_MSG")
        self.shot("listened")

        self.click("1002", "delete")
        # The phone keeps the record marked until the next synchronization; its audio goes.
        self.wait("1002 gone from the carrier, its audio from the phone", lambda:
                  "1002" not in self.rows("calls")
                  and self.text("messages", "1002", "deletion") == "pending"
                  and self.text("messages", "1002", "audio") == "none")
        self.shot("deleted")

        d.find_element(By.CSS_SELECTOR, "button[data-action=simSwap]").click()
        self.wait("an empty box after the SIM swap", lambda: not self.rows("messages")
                  and "No mailbox record" in d.find_element(By.ID, "mailbox").text)
        self.shot("sim-swapped")

        d.set_window_size(400, 900)  # a phone's width
        self.shot("phone-width")
        self.assert_no_console_error()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--service-dir", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.screenshots, ignore_errors=True)
    os.makedirs(args.screenshots)
    state = tempfile.mkdtemp(prefix="page-test-")
    emulator, settings = start_emulator(args.emulator, args.service_dir, state)
    driver = None
    try:
        driver = browser()
        PageTest(driver, settings["NIMBOS_PAGE_URL"], args.screenshots).run()
        print("page test passed; screenshots in", args.screenshots)
    finally:
        if driver:
            driver.quit()
        emulator.send_signal(signal.SIGTERM)
        emulator.wait(timeout=TIMEOUT)
        shutil.copy(os.path.join(state, "emulator.log"), args.screenshots)
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

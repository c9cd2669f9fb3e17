"""The page in headless Chromium (Debian's chromium and chromium-driver through python3-selenium)
against batmond on batmon-sim: the live view, alarms, silence, live updates, sign-in and
acknowledging, at desktop and phone width. With --shots DIR (or BATMON_WEB_SHOTS) it saves
pictures of the three views there."""

import os
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

import webrig
from webrig import Rig, wait_until

ARGS = webrig.arguments()
PERIOD_S = 2
SILENT_AFTER_S = 14


def browser(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="batmon-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", f"--window-size={width},{height}",
                 "--lang=zh-CN"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_window_size(width, height)
    return driver


def rows(driver):
    """The live table as the operator sees it: label -> (time, voltage, temperature, status,
    classes)."""
    script = """return [...document.querySelectorAll('#live tbody tr')].map(r =>
        [...r.cells].map(c => [...c.childNodes].filter(n => !(n.classList && n.classList.contains('age')))
                                .map(n => n.textContent).join('')).concat([r.className]));"""
    return {r[0]: r[1:] for r in driver.execute_script(script)}


def label_of(device, battery):
    return f"A0-8{battery}" if device == "A0" else f"{battery + 1}#"


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(ARGS.batmond, ARGS.sim, period_s=PERIOD_S, users={"wang": "Pa55word"},
                      sim_options=["--status", "A0:2=0x71", "--drop-device", "A1",
                                   "--drop-after-s", str(SILENT_AFTER_S)])
        cls.rig.start_sim()
        cls.rig.start_batmond()
        cls.driver = browser(1280, 900)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.stop()

    def open(self):
        started = time.monotonic()
        self.driver.get(self.rig.url())
        wait_until(lambda: any(r[1] for r in rows(self.driver).values()), 10, "the first data")
        return time.monotonic() - started

    def test_1_live_view_shows_the_simulators_values_and_alarms_and_updates_itself(self):
        wait_until(lambda: len(self.rig.sim_latest()) == 14, 20, "a full cycle from the sim")
        first_data_s = self.open()
        # When each row first turns grey, by the page's own clock.
        self.driver.execute_script("""
            window.__greyAt = {};
            setInterval(() => {
              for (const r of document.querySelectorAll('#live tbody tr.stale'))
                if (!(r.cells[0].textContent in window.__greyAt))
                  window.__greyAt[r.cells[0].textContent] = Date.now();
            }, 50);""")
        in_page_ms = self.driver.execute_script("return window.batmonFirstDataMs;")
        print(f"first data on screen {in_page_ms:.0f} ms after navigation started "
              f"({first_data_s * 1000:.0f} ms as the driver saw it)", file=sys.stderr)
        self.assertLess(in_page_ms, 5000)

        def shows_the_sim():
            shown = rows(self.driver)
            for (device, battery), answer in self.rig.sim_latest().items():
                row = shown.get(label_of(device, battery))
                if not row or row[1] != f"{answer['voltage']:.1f}" or \
                        row[2] != f"{answer['temperature']:.1f}":
                    return False
            return len(shown) == 14
        wait_until(shows_the_sim, 3 * PERIOD_S, "the page to show the simulator's latest values")
        shown = rows(self.driver)
        self.assertEqual(shown["A0-82"][3], "电压异常")
        self.assertIn("alarm", shown["A0-82"][4])
        self.assertEqual(shown["A0-83"][3], "正常")
        self.assertNotIn("alarm", shown["A0-83"][4])

        # A new reading arrives without a reload: the page object stays the same.
        self.driver.execute_script("window.__noReload = true;")
        before = rows(self.driver)["A0-80"][0]
        wait_until(lambda: rows(self.driver)["A0-80"][0] != before, 3 * PERIOD_S,
                   "a new reading on the page")
        self.assertTrue(self.driver.execute_script("return window.__noReload === true;"))

    def test_2_alarm_view_lists_the_alarm_and_acknowledging_needs_sign_in(self):
        if not self.driver.current_url.startswith(self.rig.url()):
            self.open()
        self.driver.find_element(By.CSS_SELECTOR, "nav button[data-view=alarms]").click()
        alarm_row = "#active-alarms tr[data-id='A0.2.status_voltage']"
        # The rows are drawn anew on every alarm change: each look is one step in the page.
        row_text = lambda: self.driver.execute_script(  # noqa: E731
            "const r = document.querySelector(arguments[0]); return r ? r.textContent : '';",
            alarm_row)
        wait_until(row_text, 10, "the alarm in the alarm view")
        self.assertIn("电压异常", row_text())
        self.assertTrue(self.driver.execute_script(
            "return document.querySelector(arguments[0] + ' button.ack').disabled;", alarm_row))
        # The server refuses it too, whatever the page does.
        status = self.driver.execute_script("""
            return fetch('/api/v1/alarms/A0.2.status_voltage/acknowledge', {method: 'POST'})
              .then(r => r.status);""")
        self.assertEqual(status, 401)
        wait_until(lambda: self.driver.find_elements(By.CSS_SELECTOR, "#alarm-history tbody tr"),
                   10, "the alarm history")

        # A wrong password is refused.
        self.driver.find_element(By.ID, "sign-in-open").click()
        self.driver.find_element(By.ID, "user").send_keys("wang")
        self.driver.find_element(By.ID, "password").send_keys("wrong")
        self.driver.find_element(By.CSS_SELECTOR, "#sign-in button[type=submit]").click()
        wait_until(lambda: self.driver.find_element(By.ID, "sign-in-error").text, 5,
                   "the refusal")
        self.assertEqual(self.driver.find_element(By.ID, "who").text, "")
        # The right one, once the wait after a failure has passed.
        def signed_in():
            self.driver.find_element(By.ID, "user").clear()
            self.driver.find_element(By.ID, "user").send_keys("wang")
            self.driver.find_element(By.ID, "password").send_keys("Pa55word")
            self.driver.find_element(By.CSS_SELECTOR, "#sign-in button[type=submit]").click()
            time.sleep(0.3)
            return self.driver.find_element(By.ID, "who").text == "wang"
        wait_until(signed_in, 10, "signing in", step_s=0.5)
        self.assertTrue(self.driver.execute_script("""
            const button = document.querySelector(arguments[0] + ' button.ack');
            if (!button || button.disabled) return false;
            button.click();
            return true;""", alarm_row))
        wait_until(lambda: "wang" in row_text(), 10, "the acknowledgement by wang")
        self.save_shot("alarms")

    def test_3_silent_device_turns_grey_within_three_periods(self):
        if not self.driver.current_url.startswith(self.rig.url()):
            self.open()
        self.driver.find_element(By.CSS_SELECTOR, "nav button[data-view=live]").click()
        # The last answer A1 gave before falling silent.
        def last_a1_answer_ms():
            last = None
            for e in self.rig.sim_log_entries():
                if e.get("dir") == "tx" and e.get("device") == 0xA1:
                    last = e["t_us"] / 1000
                if e.get("dir") == "drop" and e.get("device") == 0xA1 and last:
                    return last
            return None
        silent_since_ms = wait_until(last_a1_answer_ms, SILENT_AFTER_S + 10, "A1 falling silent")
        wait_until(lambda: all("stale" in rows(self.driver)[f"{i}#"][4] for i in range(1, 7)),
                   SILENT_AFTER_S + 5 * PERIOD_S, "A1's batteries to turn grey")
        grey_at = self.driver.execute_script("return window.__greyAt;")
        grey_after_s = max(grey_at[f"{i}#"] for i in range(1, 7)) / 1000 - silent_since_ms / 1000
        print(f"grey {grey_after_s:.1f} s after A1's last answer", file=sys.stderr)
        self.assertLess(grey_after_s, 3 * PERIOD_S + 2)
        self.assertTrue(all("stale" not in rows(self.driver)[f"A0-8{i}"][4] for i in range(8)))
        age = self.driver.find_element(By.CSS_SELECTOR, "#live tr.stale .age").text
        self.assertRegex(age, r"^\d+秒前$")
        self.save_shot("live")

    def test_4_trend_view_plots_and_phone_width(self):
        if not self.driver.current_url.startswith(self.rig.url()):
            self.open()
        self.driver.find_element(By.CSS_SELECTOR, "nav button[data-view=trend]").click()
        for label in ["A0-82", "1#"]:
            box = self.driver.find_element(
                By.XPATH, f"//div[@id='trend-batteries']/label[contains(., '{label}')]/input")
            if not box.is_selected():
                box.click()
        self.driver.find_element(By.CSS_SELECTOR, "#trend-ranges button[data-hours='1']").click()
        def legend(plot):  # read in one step: the plot may be redrawn meanwhile
            return self.driver.execute_script(
                "const e = document.querySelector(arguments[0] + ' .u-legend');"
                "return e ? e.textContent : '';", plot)
        for plot in ["#plot-voltage", "#plot-temperature"]:
            wait_until(lambda: "A0-82" in legend(plot) and "1#" in legend(plot), 10,
                       f"both batteries in {plot}")
        # Hovering shows the values at the cursor.
        canvas = self.driver.find_element(By.CSS_SELECTOR, "#plot-voltage .u-over")
        webdriver.ActionChains(self.driver).move_to_element(canvas).perform()
        wait_until(lambda: " V" in legend("#plot-voltage"), 5, "a value under the cursor")
        self.save_shot("trend")
        # Phone width: nothing wider than the screen but the tables' own scrolling.
        phone = browser(360, 780)
        try:
            phone.get(self.rig.url())
            wait_until(lambda: any(r[1] for r in rows(phone).values()), 10, "data on the phone")
            for view in ["live", "trend", "alarms"]:
                phone.find_element(By.CSS_SELECTOR, f"nav button[data-view={view}]").click()
                time.sleep(1)
                overflow = phone.execute_script(
                    "return document.documentElement.scrollWidth - window.innerWidth;")
                self.assertLessEqual(overflow, 0, view)
                if ARGS.shots:
                    phone.save_screenshot(os.path.join(ARGS.shots, f"web-{view}-phone.png"))
        finally:
            phone.quit()

    def save_shot(self, view):
        if ARGS.shots:
            time.sleep(0.5)
            self.driver.save_screenshot(os.path.join(ARGS.shots, f"web-{view}.png"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)

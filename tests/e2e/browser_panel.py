#!/usr/bin/python3
"""Drives the DVR panel in headless Chromium through chromedriver and prints
one "ok LABEL" or "not ok LABEL: WHY" line per check (test_browser.sh turns
them into its report).

    browser_panel.py --url http://127.0.0.1:PORT/ --sid SID --screenshot FILE --screenshot-phone FILE --home DIR
                     [--at EPOCH]

With --at the page's clock runs from that moment on, and the run ends before
the checks that switch the DVR service off. The browser's time zone is TZ's.
"""
import argparse
import datetime
import os
import re
import sys
import time

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.expected_conditions import staleness_of
from selenium.webdriver.support.ui import WebDriverWait

# The page's Date, moved on by the given milliseconds from before the page's own scripts run.
SHIFTED_CLOCK = ("{ const Real = Date, shift = %r; globalThis.Date = class extends Real { constructor(...args) "
                 "{ super(...(args.length ? args : [Real.now() + shift])); } static now() { return Real.now() + shift; } }; }")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--url", "--sid", "--screenshot", "--screenshot-phone", "--home"):
        parser.add_argument(name, required=True)
    parser.add_argument("--at", type=int)
    args = parser.parse_args()
    shift = 0 if args.at is None else args.at - time.time()
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # Root in a sandbox without a network: no browser sandbox, nothing fetched.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,860", "--user-data-dir=" + os.path.join(args.home, "profile")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    failed = 0

    def check(label, condition, timeout=20):
        """ok when condition(driver) turns true within the timeout."""
        nonlocal failed
        try:
            # The panel redraws what it shows after each answer.
            WebDriverWait(driver, timeout, poll_frequency=0.2,
                          ignored_exceptions=(StaleElementReferenceException, IndexError)).until(condition)
            print("ok " + label)
        except TimeoutException:
            failed += 1
            messages = " | ".join(m.text for m in driver.find_elements(By.CSS_SELECTOR, ".message"))
            print("not ok %s: not within %d s (messages: %s)" % (label, timeout, messages or "none"))

    def css(selector):
        return driver.find_elements(By.CSS_SELECTOR, selector)

    def click(selector):
        WebDriverWait(driver, 10, ignored_exceptions=(StaleElementReferenceException, IndexError)).until(
            lambda d: css(selector)[0].click() or True)

    def tab(name):
        click("nav button[data-tab=%s]" % name)

    def recordings():
        return [row.text for row in css("#recordings tbody tr")]

    def press(element, key):
        """Focuses the element as the Tab key would and presses the key; False when it takes no focus."""
        driver.execute_script("arguments[0].focus()", element)
        return driver.switch_to.active_element == element and element.send_keys(key) is None

    try:
        if args.at is not None:
            driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SHIFTED_CLOCK % (shift * 1000)})
        driver.get("%s?sid=%s" % (args.url, args.sid))
        check("the guide shows eight channels, each with a live-view playlist",
              lambda d: len(css(".channel a.live[download$='.m3u']")) == 8)
        check("every channel has its programme on now and the next one marked",
              lambda d: len(css(".event.now")) == 8 and len(css(".event.next")) == 8)
        # Today as of now, or of a minute ago: the page may have been drawn just before midnight.
        check("the heading names today, and so does the hour line at the last midnight before now", lambda d: any(all(
            re.search(r"\b%s\b" % word, text) for text, words in ((css("#guide-day")[0].text, "%A %B %-d"), (d.execute_script(
                "const now = document.querySelector('.now-line').getBoundingClientRect().left; return [...document."
                "querySelectorAll('.hours .day')].filter((s) => s.getBoundingClientRect().left <= now).pop().textContent"),
                "%a %b %-d 00:00")) for word in datetime.datetime.fromtimestamp(time.time() + shift - ago).strftime(words).split())
            for ago in (0, 60)))
        tab("tuners")
        check("the tuners are listed with the DVR service on",
              lambda d: len(css("#tuners tbody tr")) == 2 and "USB tuner #1" in css("#tuners")[0].text
              and d.find_element(By.ID, "dvr").is_selected())
        row = css("#tuners tbody tr:nth-child(2)")[0]
        click("#tuners tbody tr:nth-child(2) .switch")
        WebDriverWait(driver, 20).until(staleness_of(row))  # redrawn once the update was answered
        driver.refresh()
        tab("tuners")
        check("the second tuner's idle scan, switched on, is on when the page is loaded again",
              lambda d: css("#tuners tbody tr:nth-child(2) input")[0].is_selected())
        tab("guide")
        upcoming = WebDriverWait(driver, 20).until(lambda d: css("#grid .row:nth-child(3) .event.next"))[0]
        title = upcoming.find_element(By.TAG_NAME, "b").text
        upcoming.click()
        click("#details button.primary")
        check("a programme recorded from the guide is marked there",
              lambda d: any(e.text.startswith(title) for e in css(".event.rec.next")))
        click("#to-now")
        driver.execute_script("window.scrollTo(0, 0)")
        driver.save_screenshot(args.screenshot)
        tab("recordings")
        check("and listed under Recordings", lambda d: any(r.startswith(title) for r in recordings()))
        click("#recordings tbody tr button")
        check("a deleted recording leaves the list", lambda d: recordings() == [])
        check("a tab opens from the keyboard",
              lambda d: press(css("nav button[data-tab=guide]")[0], " ") and not css("#tab-guide[hidden]"))
        # Channel 1's last programme starts after channel 8's next one: the other way round from channel order.
        last = css("#grid .row:nth-child(2) .event:last-child")[0]
        title, focused = last.get_attribute("title"), press(last, Keys.ENTER)
        check("a programme cell takes the focus and opens its card with Enter",
              lambda d: focused and css("#details h2")[0].text == title)
        click("#details button.primary")
        WebDriverWait(driver, 20).until(lambda d: css("#grid .row:nth-child(2) .event.rec"))
        click("#to-now")
        click("#grid .row:nth-child(9) .event.next")
        click("#details button.primary")
        tab("recordings")
        # Their start times, ISO 8601 in UTC, sort as text.
        check("recordings are listed by start time", lambda d: len(css("#recordings tbody tr")) == 2 and (lambda w: w == sorted(w))(
            [t.get_attribute("datetime") for t in css("#recordings time")]))
        tab("guide")
        press(css(".event.ended")[0], Keys.ENTER)
        check("a programme that has ended cannot be recorded", lambda d: "Ended at" in css("#details")[0].text
              and css("#details button.primary")[0].get_attribute("disabled"))
        click("#grid .row:nth-child(4) .event.next")
        click("#details button:nth-of-type(2)")
        check("a series record says what it scheduled", lambda d: re.search(
            r"Recording every “.+” on Metro News: [1-9]\d* scheduled", css("#details .message")[0].text))
        tab("scan")
        click("#scan-start")
        check("a scan shows its progress", lambda d: "Scanning" in d.find_element(By.ID, "scan-text").text)
        check("and its end", lambda d: "Last scan: 4 multiplexes, 8 channels" in d.find_element(By.ID, "scan-text").text)
        driver.set_window_size(800, 860)
        tab("guide")
        check("at 800 px the legend stays on one line", lambda d: d.execute_script(
            "return new Set([...document.querySelectorAll('.legend > span')].map((s) => s.offsetTop)).size === 1"))
        driver.set_window_size(390, 844)
        driver.refresh()
        check("the phone layout has no horizontal overflow", lambda d: css(".event.now") and d.execute_script(
            "return document.documentElement.scrollWidth <= innerWidth"))
        check("the phone layout shows programmes beside the channel column", lambda d: d.execute_script(
            "const c = document.querySelector('#grid .row:nth-child(2) .channel').getBoundingClientRect();"
            "const at = document.elementFromPoint(c.right + 40, c.top + c.height / 2);"
            "return at !== null && at.closest('.event') !== null"))
        click("#grid .row:nth-child(5) .event.next")
        click("#details button.primary")  # fails when the button cannot be scrolled to or is covered
        check("on a phone, Record can be reached and records", lambda d: css("#grid .row:nth-child(5) .event.rec.next"))
        driver.execute_script("window.scrollTo(0, 0)")
        driver.save_screenshot(args.screenshot_phone)
        driver.set_window_size(1400, 860)
        severe = [m["message"] for m in driver.get_log("browser") if m["level"] == "SEVERE"]
        print("ok no script errors" if not severe else "not ok no script errors: " + " | ".join(severe))
        failed += bool(severe)
        if args.at is not None:
            return 1 if failed else 0
        now_line = css(".now-line")[0].get_attribute("style")
        check("the now line follows the clock by itself", lambda d: css(".now-line")[0].get_attribute("style") != now_line, 40)
        driver.get("%s?sid=not-a-session" % args.url)
        check("a session the NAS refuses is shown as a message",
              lambda d: any("refused your session" in m.text and "ERROR AUTHENTICATION FAIL" in m.text
                            for m in css(".message")))
        driver.get("%s?sid=%s" % (args.url, args.sid))
        click("#grid .row:nth-child(2) .event.next")
        tab("tuners")
        check("the DVR service switch is on", lambda d: d.find_element(By.ID, "dvr").is_selected())
        click(".card .switch")
        check("switched off, the panel says the DVR service is not running",
              lambda d: any("not running" in m.text and "ERROR SERVER NOT EXIST" in m.text for m in css(".message")))
        tab("scan")
        check("and the scan tab shows no progress of the last scan, only that the service is stopped",
              lambda d: css("#scan-progress[hidden]") and "stopped" in d.find_element(By.ID, "scan-text").text)
        tab("guide")
        check("and the guide no programme card, only that the service is stopped",
              lambda d: css("#details[hidden]") and not css(".event") and "stopped" in css("#grid .empty")[0].text)
    except Exception as e:  # any, so that a run cut short fails
        failed += 1
        print("not ok the panel could be driven: %s" % (str(e) or repr(e)).splitlines()[0])
    finally:
        driver.quit()
    return 1 if failed else 0


sys.exit(main())

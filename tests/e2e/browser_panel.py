#!/usr/bin/python3
"""Drives the DVR panel in headless Chromium through chromedriver and prints
one "ok LABEL" or "not ok LABEL: WHY" line per check (test_browser.sh turns
them into its report).

    browser_panel.py --url http://127.0.0.1:PORT/ --sid SID --screenshot FILE --screenshot-phone FILE --home DIR
                     [--at EPOCH]

With --at the page's clock runs from that moment on. The browser's time zone is
TZ's.
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
from selenium.webdriver.common.action_chains import ActionChains
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
        """Clicks as a user taps: on the element scrolled into view, out from under the sticky channel column."""
        WebDriverWait(driver, 10, ignored_exceptions=(StaleElementReferenceException, IndexError)).until(
            lambda d: d.execute_script("arguments[0].scrollIntoView({block: 'center', inline: 'nearest'})",
                                       css(selector)[0]) or css(selector)[0].click() or True)

    def tab(name):
        click("nav button[data-tab=%s]" % name)

    def recordings():
        return [row.text for row in css("#recordings tbody tr")]

    def press(element, key):
        """Focuses the element as the Tab key would and presses the key; False when it takes no focus."""
        driver.execute_script("arguments[0].focus()", element)
        return driver.switch_to.active_element == element and element.send_keys(key) is None

    def keys(*pressed):
        ActionChains(driver).send_keys(*pressed).perform()

    def active(attribute):
        return driver.switch_to.active_element.get_attribute(attribute)

    def text(selector):
        return css(selector)[0].text

    def tab_to(reached, most=30):
        """Tab presses until reached() holds; most + 1 when it does not within most."""
        n = 0
        while not reached() and n <= most:
            keys(Keys.TAB)
            n += 1
        return n

    # The card's live link says in visible words what it gives, and lies within the window.
    live_link = ("const a = document.querySelector('#details a.live'), r = a?.getBoundingClientRect(); return a?.innerText"
                 ".includes('Playlist for a player such as VLC') && a.download.endsWith('.m3u') && r.right <= innerWidth")

    try:
        if args.at is not None:
            driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": SHIFTED_CLOCK % (shift * 1000)})
        driver.get("%s?sid=%s" % (args.url, args.sid))
        check("the guide shows eight channels", lambda d: len(css("#grid .row ~ .row .channel")) == 8)
        check("every channel has its programme on now and the next one marked",
              lambda d: len(css(".event.now")) == 8 and len(css(".event.next")) == 8)
        # Today as of now, or of a minute ago: the page may have been drawn just before midnight.
        check("the heading names today, and so does the hour line at the last midnight before now", lambda d: any(all(
            re.search(r"\b%s\b" % word, text) for text, words in ((css("#guide-day")[0].text, "%A %B %-d"), (d.execute_script(
                "const now = document.querySelector('.now-line').getBoundingClientRect().left; return [...document."
                "querySelectorAll('.hours .day')].filter((s) => s.getBoundingClientRect().left <= now).pop().textContent"),
                "%a %b %-d")) for word in datetime.datetime.fromtimestamp(time.time() + shift - ago).strftime(words).split())
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
        click("#recordings tbody tr .link")
        click("#recordings .danger")  # the question Delete asks
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
        series = text("#details h2")
        click("#details button:nth-of-type(2)")
        check("a series record says what it scheduled, and the next showing is one not yet begun", lambda d: re.search(
            r"Recording every “.+” on Metro News: [1-9]\d* showings? scheduled, the next (on .+ )?at %s\.$" % d.execute_script(
                "return [...document.querySelectorAll('#grid .row:nth-child(4) .event.rec:not(.now):not(.ended)')]"
                ".find((c) => c.title === arguments[0])?.querySelector('small').textContent", series), text("#details .message")))
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
        driver.refresh()
        now_line = WebDriverWait(driver, 20).until(lambda d: css(".event.now") and css(".now-line"))[0].get_attribute("style")
        first = driver.execute_script("document.activeElement.blur(); "
                                      "return document.querySelector('#grid .row:nth-child(2) .event.now').dataset.id")
        tabs, landed = tab_to(lambda: active("role") == "gridcell"), active("data-id")
        keys(Keys.ENTER)
        presses = 1 + tab_to(lambda: driver.switch_to.active_element.text == "Record")
        print("key presses: %d Tab to the first programme on now, %d from it to its Record button" % (tabs, presses))
        check("the guide is one tab stop, on the first programme on now, and Enter moves the focus onto its Record button",
              lambda d: tabs <= 6 and landed == first and len(css("#grid [tabindex='0']")) == 1 and presses == 1)
        keys(" ")
        check("Space records it, the focus staying on that control", lambda d: active("data-key") == "record" and css(
            "#grid .row:nth-child(2) .event.now.rec") and driver.switch_to.active_element.text == "Cancel recording")
        check("and the card names the recording's state once", lambda d: "· recording now" in text("#details .hint")
              and "recording recording" not in text("#details"))
        check("the card's live link says in words that it is a playlist for a player", lambda d: d.execute_script(live_link))
        place = ("const c = document.activeElement; return [c.dataset.id, [...c.parentNode.children].indexOf(c), "
                 "[...document.querySelectorAll('#grid .row')].indexOf(c.closest('.row'))]")
        moves = [keys(key) or driver.execute_script(place)
                 for key in (Keys.ESCAPE, Keys.ARROW_RIGHT, Keys.ARROW_DOWN, Keys.ARROW_UP, Keys.ARROW_LEFT)]
        check("Escape returns to its cell; the arrows move to the next programme, the channel below, and back", lambda d:
              moves[0][0] == first and moves[1][1:] == [moves[0][1] + 1, 1] and moves[2][2] == 2 and moves[3:] == moves[1::-1])
        click("#grid .row:nth-child(2) .event[title='%s']:not(.ended)" % (series := "Harbour Street"))  # a few showings
        click("#details button:nth-of-type(2)")
        WebDriverWait(driver, 20).until(lambda d: css("#details .message"))
        tab("recordings")
        row = ("const row = [...document.querySelectorAll('#recordings tr.series')].find((r) => "
               "r.querySelector('.disclose').textContent === arguments[0]); if (!row) return null;")
        shown = driver.execute_script(row + "const open = () => [...document.querySelectorAll('#recordings tr.showing')]"
                                      ".filter((r) => r.offsetParent).length, closed = open(), next = row.querySelector('time')"
                                      ".dateTime; row.querySelector('.disclose').click(); return [parseInt(row.querySelector("
                                      "'small').textContent), closed, open(), next]", series) or [None] * 4
        check("a series is one entry, with its count and next showing not yet begun, that opens to its showings",
              lambda d: shown[1] == 0 and shown[2] == shown[0] > 1
              and shown[3] > datetime.datetime.utcfromtimestamp(time.time() + shift).isoformat())
        asked = driver.execute_script(row + "row.querySelector('.link').click(); const asked = row.querySelector('.confirm') "
                                      "&& document.querySelector('#recordings').contains(row); row.querySelector('.danger')"
                                      ".click(); return asked", series)
        check("Cancel series asks once, then cancels every showing", lambda d: asked and not d.execute_script(
            "return [...document.querySelectorAll('#recordings tr')].some((r) => r.cells[0].textContent.startsWith("
            "arguments[0]))", series))
        listed = len(recordings())
        click("#recordings tbody tr .link")
        asked = css("#recordings .confirm") and len(recordings()) == listed
        for keep in css("#recordings .confirm button:not(.danger)"):
            keep.click()
        check("a recording's Delete asks first, and Keep keeps it",
              lambda d: asked and not css(".confirm") and len(recordings()) == listed)
        tab("scan")

        def add_uhf(channel):
            css("#uhf")[0].clear()
            css("#uhf")[0].send_keys(channel + Keys.ENTER)
            return text("#mux-add")
        refused = [add_uhf(typed) for typed in ("", "abc", "70", "21")]
        check("a UHF channel empty, not a number, out of 21–69 or in the network is refused beside the field, unsent",
              lambda d: all(why in said for why, said in zip(("Enter a UHF channel from 21 to 69", "not a whole number",
                  "outside the band", "already in the network"), refused)) and len(css("#muxes tbody tr")) == 4)
        add_uhf("54")
        check("one multiplex added is scanned as 1 of 1, the heading counting no channels meanwhile", lambda d:
              "Scanning multiplex 1 of 1 (" in text("#scan-text") and text("#network").endswith("5 multiplexes, scan in progress"))
        check("and the scan's end counts it in the singular", lambda d: text("#scan-text") == "Last scan: 1 multiplex, "
              "0 channels found" and text("#network").endswith("5 multiplexes, 8 channels"))
        press(css("#muxes tbody tr:last-child .link")[0], Keys.ENTER)
        keys(Keys.ENTER)
        check("Enter on a multiplex's Delete asks once, Enter again deletes it, the focus staying in the table", lambda d: len(
            css("#muxes tbody tr")) == 4 and d.execute_script("return document.activeElement.closest('#muxes') !== null"))
        check("the now line follows the clock by itself", lambda d: css(".now-line")[0].get_attribute("style") != now_line, 40)
        last = driver.execute_async_script(
            "const done = arguments[0], list = (up, down) => call('epg', {subfunc: 'info', todo: 'list_more', up, down});"
            "list(0, 1).then((all) => list(all.total_count - 1, all.total_count)).then(({entries: [e]}) => call('epg', {subfunc:"
            " 'record', todo: 'add', channel: e.channel, id: e.id}, true).then(() => done(new Date(e.start * 1000).toISOString())))")
        driver.refresh()
        tab("recordings")
        check("a recording made elsewhere, of the last programme the backend holds, is listed",
              lambda d: css("#recordings time[datetime='%s']" % last))
        driver.set_window_size(360, 800)
        clipped = []
        for name in ("recordings", "tuners", "scan"):
            tab(name)
            clipped += driver.execute_script(
                "return [...document.querySelectorAll('main .scroll')].filter((s) => s.offsetParent && s.scrollWidth > "
                "s.clientWidth).concat([...document.querySelectorAll('main button, main a, main .switch')].filter((e) => "
                "e.offsetParent && e.getBoundingClientRect().right > innerWidth)).map((e) => e.outerHTML.slice(0, 80))")
        check("at 360 px no table is cut off: every action is in view", lambda d: not clipped)
        tab("guide")
        # Drawn anew in a hidden tab meanwhile, the guide shows now again; then the view goes half an hour into an hour.
        seen = driver.execute_script(
            "scrollTo(0, 0); const names = [...document.querySelectorAll('#grid .row ~ .row .channel')], c = names[0]."
            "getBoundingClientRect(), g = document.querySelector('#grid'), now = document.querySelector('.now-line')"
            ".getBoundingClientRect().left, view = now > c.right && now < g.getBoundingClientRect().right;"
            "g.scrollLeft = Math.ceil(g.scrollLeft / 240) * 240 + 120;"
            "const label = document.elementFromPoint(c.right + 10, document.querySelector('.hours').getBoundingClientRect().top"
            " + 12)?.closest('.hours span'); return [names.filter((n) => n.scrollWidth > n.clientWidth || n.scrollHeight > "
            "n.clientHeight).map((n) => n.textContent), label && label.textContent, label && label.getBoundingClientRect().left"
            " >= c.right - 1, view]")
        print("at 360 px the names cut: %s; the label at the left: %s, whole: %s; now in view: %s" % tuple(seen))
        check("and in the guide, at now, every channel's name is whole, and the hour at the left of the view is labelled",
              # The label ends in its hour, or on a day's first hour in its date.
              lambda d: seen[0] == [] and re.search(r"\d$", seen[1] or "") and seen[2] and seen[3])
        click("#grid .row:nth-child(3) .event.next")
        check("and a card's live link says there what it gives", lambda d: d.execute_script(live_link))
        driver.set_window_size(1400, 860)
        driver.get("%s?sid=not-a-session" % args.url)
        check("a session the NAS refuses is shown as a message",
              lambda d: any("refused your session" in m.text and "ERROR AUTHENTICATION FAIL" in m.text
                            for m in css(".message")))
        driver.get("%s?sid=%s" % (args.url, args.sid))
        click("#grid .row:nth-child(2) .event.next")
        tab("tuners")
        check("the DVR service switch is on", lambda d: d.find_element(By.ID, "dvr").is_selected())
        click(".card .switch")
        check("switched off, the DVR service is a state: the header says off, and no fault is raised",
              lambda d: text("#service") == "DVR off" and not css(".message"))
        for name in ("guide", "recordings", "tuners", "scan"):
            tab(name)
            check("and the %s tab says so where its data would be, with the switch to hand" % name, lambda d: text(
                "#tab-%s .notice" % name).startswith("The DVR service is switched off. Switch it on under Tuners.")
                and css("#tab-%s .notice button" % name))
        check("and Scan, the region and Add are disabled, the notice giving the reason", lambda d: css("#scan-progress[hidden]")
              and all(e.get_attribute("disabled") and "scan-off" in e.get_attribute("aria-describedby")
                      for e in css("#region, #scan-start, #uhf, #mux-add button")))
        tab("guide")
        check("and the guide shows no programme card", lambda d: css("#details[hidden]") and not css(".event"))
        click("#grid .notice button")
        check("the switch in a notice switches the service on again", lambda d: text("#service") == "DVR running"
              and css(".event.now"), 40)
    except Exception as e:  # any, so that a run cut short fails
        failed += 1
        print("not ok the panel could be driven: %s" % (str(e) or repr(e)).splitlines()[0])
    finally:
        driver.quit()
    return 1 if failed else 0


sys.exit(main())

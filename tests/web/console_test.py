#!/usr/bin/python3
"""The web console in a real browser: lindra2d on loopback with a CTI slot and a LAN
exchange, operator PCs played by lindra-sim, the page in headless Chromium, also under
a name the browser maps to loopback, as another PC of the centre would open it.

console_test.py --lindra2d PATH --sim PATH
"""
import argparse
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

ARGS = None
WAIT = 15  # seconds: the bound of every wait for something that must happen
# A name the browser resolves to loopback: the console sees a reader off this machine.
REMOTE_NAME = "console.test"
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "web", "page", "index.html")


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Child:
    """A program whose printed lines are read as they come, each with when it came."""

    def __init__(self, args):
        self.args = args
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, text=True, encoding="utf-8", errors="replace")
        self.lines = queue.Queue()
        self.seen = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        with self.process.stdout:
            for line in self.process.stdout:
                self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, pattern, timeout=WAIT):
        """The first line not yet taken that matches `pattern` (a regex)."""
        for line in self.seen:
            if re.search(pattern, line):
                self.seen.remove(line)
                return line
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(0, left)) if left > 0 else None
            except queue.Empty:
                line = None
            if line is None:
                raise AssertionError("%s printed no line matching %r; it printed:\n%s"
                                     % (os.path.basename(self.args[0]), pattern, "\n".join(self.seen)))
            if re.search(pattern, line):
                return line
            self.seen.append(line)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(timeout=WAIT)


def sim(*args):
    return Child([ARGS.sim, *args])


def operator_pcs(addresses):
    """Operator PCs listening on one port on each address (the server's PROG_PORT)."""
    for _ in range(20):
        first = sim("operator", "--listen", addresses[0] + ":0", "--seconds", "300")
        port = int(first.wait_for(r"^LISTEN ").rsplit(":", 1)[1])
        pcs = [first]
        for address in addresses[1:]:
            pc = sim("operator", "--listen", "%s:%d" % (address, port), "--seconds", "300")
            try:
                pc.wait_for(r"^LISTEN ", timeout=5)
            except AssertionError:
                pc.stop()
                break
            pcs.append(pc)
        if len(pcs) == len(addresses):
            return port, pcs
        for pc in pcs:
            pc.stop()
    raise AssertionError("no port free on every operator address")


def cti_call(port, message):
    cti = sim("cti", "--connect", "127.0.0.1:%d" % port, "--count", "1", "--message", message)
    status = cti.process.wait(timeout=WAIT)
    cti.reader.join(timeout=WAIT)
    assert status == 0, "the CTI program could not send"


def notification_time(line):
    """The wall-clock time (seconds) an operator PC printed with a notification."""
    hms = line.split(" ", 1)[0]
    h, m, s = hms.split(":")
    now = time.localtime()
    midnight = time.mktime((now.tm_year, now.tm_mon, now.tm_mday, 0, 0, 0, 0, 0, -1))
    return midnight + int(h) * 3600 + int(m) * 60 + float(s)


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)


class ConsoleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.children = []
        cls.folder = tempfile.mkdtemp(prefix="lindra-console-")
        work, logs, state = (os.path.join(cls.folder, n) for n in ("work", "logs", "state"))
        for d in (work, logs):
            os.makedirs(d)
        cls.prog_port, (cls.pc_a, cls.pc_b) = operator_pcs(["127.0.0.2", "127.0.0.3"])
        cls.children += [cls.pc_a, cls.pc_b]
        cls.exchange = sim("exchange", "--model", "102", "--listen", "127.0.0.1:0", "--count", "1", "--rate", "20",
                           "--trunks", "703", "--extensions", "202", "--hold", "300")
        cls.children.append(cls.exchange)
        exchange_port = int(cls.exchange.wait_for(r"127\.0\.0\.1:\d+").rsplit(":", 1)[1])
        cls.cti_port = free_port()
        slots = [(202, "N", cls.cti_port), (102, "Y", exchange_port), (0, "N", 5100), (0, "N", 5100)]
        ini = ""
        for n, (model, use, port) in enumerate(slots, 1):
            ini += "[DEVICE0%d]\n" % n
            if n >= 2:
                ini += "DEV_USE=%s\n" % use
            ini += "DEV_NAME=%d\nCOM_PORT=COM1\nCOM_BAUDRATE=9600\nLAN_IP=127.0.0.1\nLAN_PORT=%d\n" % (model, port)
        ini += "\n[CLIENT]\nAREACODE=\nPROG_PORT=%d\nCENTERID=C00001\nENCRYPTION=Y\n" % cls.prog_port
        write(os.path.join(work, "lindra.ini"), ini)
        write(os.path.join(work, "did.tbl"), "705 0333330000\r\n")
        write(os.path.join(work, "ip.tbl"), "203 127.0.0.2\r\n")
        write(os.path.join(work, "did2.tbl"), "703 0222220000\r\n")
        write(os.path.join(work, "ip2.tbl"), "202 127.0.0.2\r\n")

        dead = "127.0.0.1:%d" % free_port()
        cls.http = "127.0.0.1:%d" % free_port()
        cls.server = Child([ARGS.lindra2d, "--workdir", work, "--log-dir", logs, "--state-dir", state,
                            "--broadcast", "127.255.255.255", "--stat-server", dead, "--config-server", dead,
                            "--codepage", "UTF-8", "--http", cls.http])
        cls.children.append(cls.server)
        cls.server.wait_for(re.escape("[WARN] DEV01 CTI - Listen CTI Event : %d" % cls.cti_port))
        cls.server.wait_for(re.escape("[WARN] DEV02 Connected PBX : 127.0.0.1, %d" % exchange_port))
        cls.url = "http://%s/" % cls.http
        cls.remote_url = "http://%s:%s/" % (REMOTE_NAME, cls.http.rsplit(":", 1)[1])
        cls.wait_for_console()
        with open(os.path.join(state, "token"), encoding="ascii") as f:
            cls.token = f.read().strip()

        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--no-proxy-server", "--window-size=1280,1000",
                         "--host-resolver-rules=MAP %s 127.0.0.1" % REMOTE_NAME,
                         "--user-data-dir=" + os.path.join(cls.folder, "chromium")):
            options.add_argument(argument)
        # The remote page's token question stays open until a test answers it.
        options.set_capability("unhandledPromptBehavior", "ignore")
        cls.browser = webdriver.Chrome(service=Service(ARGS.chromedriver), options=options)
        cls.browser.get(cls.url)
        cls.until(lambda b: b.find_element(By.ID, "stream").get_attribute("data-state") == "connected",
                  "the page did not attach to the event stream")

    @classmethod
    def wait_for_console(cls):
        deadline = time.monotonic() + WAIT
        while True:
            try:
                with urllib.request.urlopen(cls.url + "api/state", timeout=2) as answer:
                    json.load(answer)
                    return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)  # a port that does not listen yet has nothing to wait on

    @classmethod
    def tearDownClass(cls):
        browser = getattr(cls, "browser", None)
        if browser:
            browser.quit()
        for child in reversed(cls.children):
            child.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def until(cls, condition, message, timeout=WAIT):
        return WebDriverWait(cls.browser, timeout, poll_frequency=0.02).until(condition, message)

    def rows(self, table):
        """The cells' texts of each row of the table under `table` (a CSS selector), read at
        once: the page replaces rows as events come."""
        return self.browser.execute_script(
            "return [...document.querySelectorAll(arguments[0] + ' tbody tr')]"
            ".map(r => [...r.cells].map(c => c.textContent));", table)

    def text(self, selector, attribute=None):
        """The text (or an attribute) of the element at `selector`, read at once."""
        return self.browser.execute_script(
            "const e = document.querySelector(arguments[0]);"
            "return e && (arguments[1] ? e.getAttribute(arguments[1]) : e.textContent);", selector, attribute)

    def call_row(self, table, caller):
        """The row of `table` ("calls", "nobody") whose caller is `caller`."""
        return next((r for r in self.rows("#" + table) if r[4] == caller), None)

    def tables(self, slot):
        """The bytes of slot `slot`'s tables as the API serves them to this machine."""
        with urllib.request.urlopen(self.url + "api/tables/%d" % slot, timeout=WAIT) as answer:
            return answer.read()

    def answer_prompt(self, question, answer):
        """Answers the page's question, once it asks exactly `question`; None cancels it."""
        prompt = self.until(expected_conditions.alert_is_present(), "the page asked nothing")
        self.assertEqual(prompt.text, question)
        if answer is None:
            prompt.dismiss()
        else:
            prompt.send_keys(answer)
            prompt.accept()

    def watch_calls(self):
        """Has the page note when each call row appears (the wall clock, in ms)."""
        self.browser.execute_script("""
            window.rowTimes = {};
            new MutationObserver((changes) => {
              for (const change of changes)
                for (const row of change.addedNodes)
                  if (row.cells && !(row.cells[4].textContent in window.rowTimes))
                    window.rowTimes[row.cells[4].textContent] = Date.now();
            }).observe(document.querySelector('#calls tbody'), {childList: true});""")

    def test_1_a_call_appears_within_a_second_of_reaching_its_pc(self):
        self.watch_calls()
        cti_call(self.cti_port, "203,705,0311112222")
        received = self.pc_a.wait_for(r" T\|0311112222\|0333330000$")
        self.until(lambda b: self.call_row("calls", "0311112222"), "the call did not appear on the page")
        with urllib.request.urlopen(self.url + "api/state", timeout=WAIT) as answer:
            taken = next(c for c in json.load(answer)["calls"] if c["caller"] == "0311112222")
        self.assertEqual(self.call_row("calls", "0311112222"),
                         ["DEV01", "705", "203", "0333330000", "0311112222", taken["time"][11:19], "받음",
                          "127.0.0.2 전송"])
        shown = self.browser.execute_script("return window.rowTimes['0311112222'];") / 1000.0
        delay = shown - notification_time(received)
        print("call on the page %.0f ms after the operator PC received it" % (delay * 1000), file=sys.stderr)
        self.assertLess(delay, 1.0)
        self.until(lambda b: self.text('#slots [data-slot="1"] .count-calls') == "1", "slot 1 does not count the call")

    def test_2_a_call_for_an_unknown_extension_is_listed_as_reaching_nobody(self):
        cti_call(self.cti_port, "299,705,0311113333")
        self.until(lambda b: self.call_row("nobody", "0311113333"), "the call is not among those that reached nobody")
        self.assertEqual(self.call_row("nobody", "0311113333")[6], "모르는 내선")
        self.assertEqual(self.call_row("calls", "0311113333")[6], "없음")
        self.assertIsNone(self.call_row("nobody", "0311112222"))

    def test_3_an_operator_row_added_on_the_page_routes_the_next_call(self):
        b = self.browser
        Select(b.find_element(By.ID, "table-slot")).select_by_visible_text("DEV01")
        editor = b.find_element(By.ID, "operator-editor")
        self.until(lambda _: self.rows("#operator-editor") == [["203", "127.0.0.2"]], "slot 1's operator table")
        editor.find_element(By.NAME, "first").send_keys("203")
        editor.find_element(By.NAME, "second").send_keys("127.0.0.3")
        editor.find_element(By.CSS_SELECTOR, 'button[value="add"]').click()
        self.until(lambda _: self.rows("#operator-editor") == [["203", "127.0.0.2"], ["203", "127.0.0.3"]],
                   "the added row is not in the table")
        self.assertEqual(editor.find_element(By.CLASS_NAME, "notice").text, "")

        cti_call(self.cti_port, "203,705,0311114444")
        line = self.pc_b.wait_for(r"\|0311114444\|")
        self.assertEqual(line.split(" ", 2)[2], "T|0311114444|0333330000")
        self.pc_a.wait_for(r" T\|0311114444\|0333330000$")
        self.until(lambda _: (self.call_row("calls", "0311114444") or [""])[-1] == "127.0.0.2 전송127.0.0.3 전송",
                   "the call does not show both PCs' deliveries")
        # The window's colour of a connected PC, COLORREF 0xF0DCC8 (blue F0, green DC, red C8).
        chip = '#slots [data-slot="1"] .pc[data-ip="127.0.0.3"]'
        self.until(lambda _: "pc-connected" in (self.text(chip, "class") or ""), "the new PC is not shown connected")
        self.assertEqual(self.browser.execute_script(
            "return getComputedStyle(document.querySelector(arguments[0])).backgroundColor;", chip), "rgb(200, 220, 240)")

    def test_4_a_slot_whose_exchange_goes_away_turns_to_retrying(self):
        card = '#slots [data-slot="2"]'
        self.assertEqual(self.text(card + " .state"), "연결 됨")
        self.exchange.stop()
        self.until(lambda b: re.fullmatch(r"재연결 중 \(\d+회\)", self.text(card + " .state") or ""),
                   "slot 2 does not show its reconnecting")
        self.assertIn("tone-down", self.text(card, "class"))

    def test_5_a_reloaded_page_starts_from_the_snapshot(self):
        self.browser.refresh()
        self.until(lambda b: b.find_element(By.ID, "stream").get_attribute("data-state") == "connected",
                   "the reloaded page did not attach")
        callers = [row[4] for row in self.rows("#calls")]
        self.assertEqual(callers[:3], ["0311114444", "0311113333", "0311112222"])

    def test_6_a_page_on_another_pc_asks_for_the_token_once(self):
        b = self.browser

        def attached(_):
            return self.text("#stream", "data-state") == "connected"

        calls, tables = self.rows("#calls"), self.tables(1)
        local = b.current_window_handle
        b.switch_to.new_window("tab")
        try:
            b.get(self.remote_url)
            wrong = "0" * len(self.token)
            self.answer_prompt("접근 토큰을 입력하세요", wrong)
            self.answer_prompt("토큰이 맞지 않습니다. 접근 토큰을 입력하세요", None)
            self.until(lambda _: self.text("#stream", "data-state") == "failed", "the wrong token was not refused")
            self.assertEqual(self.text("#stream"), "토큰이 맞지 않습니다")
            self.assertEqual(self.rows("#calls"), [])
            # The page as a reader off this machine gets it: its file, without the token.
            with open(PAGE, encoding="utf-8") as f:
                self.assertEqual(b.execute_async_script(
                    "fetch('/', {cache: 'no-store'}).then(r => r.text()).then(arguments[0]);"), f.read())

            editor = b.find_element(By.ID, "did-editor")
            editor.find_element(By.NAME, "first").send_keys("706")
            editor.find_element(By.NAME, "second").send_keys("0344440000")
            editor.find_element(By.CSS_SELECTOR, 'button[value="add"]').click()
            self.answer_prompt("접근 토큰을 입력하세요", wrong)
            notice = editor.find_element(By.CLASS_NAME, "notice")
            self.until(lambda _: notice.text == "토큰이 맞지 않습니다", "the refused edit says nothing")
            self.assertIn("refused", notice.get_attribute("class"))
            self.assertEqual(self.tables(1), tables)
            self.assertIsNone(b.execute_script("return localStorage.getItem('lindra-token');"))

            # The right token, typed for the edit, applies it and brings the stream back.
            editor.find_element(By.CSS_SELECTOR, 'button[value="add"]').click()
            self.answer_prompt("접근 토큰을 입력하세요", self.token)
            self.until(lambda _: self.rows("#did-editor") == [["705", "0333330000"], ["706", "0344440000"]],
                       "the added row is not in the table")
            self.assertEqual(editor.find_element(By.CLASS_NAME, "notice").text, "")
            self.until(attached, "the page did not attach with the token")
            self.assertEqual(self.rows("#calls"), calls)
            cti_call(self.cti_port, "203,706,0311115555")
            self.pc_a.wait_for(r" T\|0311115555\|0344440000$")
            self.until(lambda _: self.call_row("calls", "0311115555"), "the call did not appear on the page")

            # Kept in the browser: a reload asks nothing (an open question would fail the wait).
            b.refresh()
            self.until(attached, "the reloaded page did not attach")
        finally:
            b.close()
            b.switch_to.window(local)


class WindowConsoleTest(unittest.TestCase):
    """The window's server serves the console too; its edits run on the window's thread."""

    def test_the_windows_demo_serves_its_tables_and_takes_an_edit(self):
        if not ARGS.lindra2:
            self.skipTest("built without the window")
        folder = tempfile.mkdtemp(prefix="lindra-window-console-")
        http = "127.0.0.1:%d" % free_port()
        window = Child([ARGS.lindra2, "-platform", "offscreen", "--demo", "--http", http,
                        "--state-dir", os.path.join(folder, "state"), "--log-dir", os.path.join(folder, "logs")])
        try:
            url = "http://%s/api/tables/1" % http
            deadline = time.monotonic() + WAIT
            while True:
                try:
                    with urllib.request.urlopen(url, timeout=2) as answer:
                        tables = answer.read()
                        break
                except OSError:
                    if time.monotonic() > deadline or window.process.poll() is not None:
                        raise
                    time.sleep(0.05)  # a port that does not listen yet has nothing to wait on
            self.assertEqual(json.loads(tables), {
                "slot": 1, "dids": [{"trunk": "701:702", "did": "0212340000"}],
                "operators": [{"extension": e, "ip": ip} for e, ip in
                              (("201", "127.0.0.2"), ("201", "127.0.0.3"), ("202", "127.0.0.3"), ("203", "127.0.0.2"))]})
            with open(os.path.join(folder, "state", "token"), encoding="ascii") as f:
                token = f.read().strip()
            edit = urllib.request.Request(
                url + "/dids", method="POST", data=json.dumps({"action": "delete", "row": 0}).encode(),
                headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
            with urllib.request.urlopen(edit, timeout=WAIT) as answer:
                self.assertEqual(json.load(answer), {"accepted": True, "message": ""})
            with urllib.request.urlopen(url, timeout=WAIT) as answer:
                self.assertEqual(json.load(answer)["dids"], [])
        finally:
            window.stop()
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--lindra2d", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--lindra2", help="the window, when it was built")
    parser.add_argument("--chromedriver", default=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)

#!/usr/bin/env python3
"""The browse page in headless Chromium, driven through Selenium, against a
real `browse serve` on a loopback port: every page the browser shows is
compared with what `browse query` prints for the same items and request.
Screenshots go to SCREENSHOT_DIR.

Usage: page_test.py BROWSE_BINARY SCREENSHOT_DIR
"""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testsupport"))
from serve_process import ServeProcess, generate  # noqa: E402

BINARY, SCREENSHOTS = sys.argv[1:3]
ITEMS = 100_000
BIG = "/generated/items"
HOSTILE = "/hostile"
# A data set too large for the server's memory budget on its own: few items
# with long names, quick to write and to refuse.
HUGE = "/huge"
# A data set whose path needs percent-encoding in a URL.
ODD = "/odd names/été 50%+1 & more"
HOSTILE_NAMES = ["<img src=x onerror=alert(1)>", "=HYPERLINK(\"http://x\")", "+1", "-2", "@SUM(A1)",
                 "\ttab", "\rreturn", "a,b", "say \"hi\"", "two\nlines", "plain"]
WAIT_SECONDS = 20


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="page_test_")
        cls.data = os.path.join(cls.scratch, "data")
        generate(BINARY, cls.file(BIG), ITEMS, 16)
        generate(BINARY, cls.file(ODD), 300, 5)
        with open(cls.file(HUGE), "w") as out:
            for number in range(30_000):
                out.write(json.dumps({"name": f"{number:08}" + "x" * 2000, "number": number}) + "\n")
        with open(cls.file(HOSTILE), "w") as out:
            for number, name in enumerate(HOSTILE_NAMES):
                out.write(json.dumps({"name": name, "number": number, "flags": {"flag": 1}}) + "\n")
        cls.server = ServeProcess(BINARY, cls.data, "--cache-memory", "40MiB")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless=new", "--window-size=1100,1000", "--disable-gpu",
                         "--disable-extensions", "--no-first-run"]:
            options.add_argument(argument)
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")  # Chromium refuses to run as root otherwise
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.orders = {}
        os.makedirs(SCREENSHOTS, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        status = cls.server.stop()
        shutil.rmtree(cls.scratch)
        assert status == 0, f"the server exited with {status}"

    @classmethod
    def file(cls, data_set):
        return os.path.join(cls.data, data_set[1:] + ".jsonl")

    # The browser's side.

    def open(self, query=""):
        self.driver.get(self.server.url + "/" + query)
        return self.settled()

    def settled(self):
        """Waits for the page to show what its URL says; returns its status."""
        script = ("return document.body.dataset.query === location.search ? "
                  "document.body.dataset.status : 'loading'")
        WebDriverWait(self.driver, WAIT_SECONDS).until(
            lambda driver: driver.execute_script(script) != "loading")
        return self.driver.execute_script(script)

    def shown_rows(self):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#items tbody tr')]"
            ".map(tr => [...tr.cells].map(cell => cell.textContent))")

    def state(self):
        return self.driver.execute_script(
            "const q = new URLSearchParams(location.search);"
            "return {dataset: q.get('dataset'), fields: q.get('fields'),"
            " direction: q.get('direction'), offset: Number(q.get('offset')),"
            " limit: Number(q.get('limit'))}")

    def browse_queries(self):
        """The query strings of the browse requests that the page has sent."""
        return self.driver.execute_script(
            "return performance.getEntriesByType('resource')"
            ".map(entry => new URL(entry.name))"
            ".filter(url => url.pathname === '/v1/browse').map(url => url.search)")

    def header(self, label):
        return self.driver.find_element(By.XPATH, f"//th/button[starts-with(., '{label}')]")

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()
        self.assertEqual("ready", self.settled())

    def screenshot(self, name):
        self.driver.save_screenshot(os.path.join(SCREENSHOTS, name + ".png"))

    # What `browse query` prints for the same request.

    def ordered_items(self, data_set, fields, direction):
        """Every item in the order that `browse query` gives; one run per order."""
        key = (data_set, fields, direction)
        if key not in self.orders:
            request = {
                "paths": [{"path": data_set}],
                "queries": [{"queryId": "all", "parameters": {
                    "sort": {"fields": [field for field in fields.split(",") if field],
                             "direction": 1 if direction == "desc" else 0},
                    "paging": {"offset": 0, "limit": ITEMS}}}]}
            request_file = os.path.join(self.scratch, "request.json")
            with open(request_file, "w") as out:
                json.dump(request, out)
            printed = subprocess.run([BINARY, "query", "--items", self.file(data_set),
                                      "--request", request_file],
                                     capture_output=True, check=True, text=True).stdout
            self.orders[key] = json.loads(printed)[0]["result"].get("items", [])
        return self.orders[key]

    def expected_rows(self, state):
        items = self.ordered_items(state["dataset"], state["fields"], state["direction"])
        page = items[state["offset"]:state["offset"] + state["limit"]]
        return [[f"{state['offset'] + i + 1:,}", item.get("name", ""),
                 str(item.get("number", 0)), str(item.get("flags", {}).get("flag", 0))]
                for i, item in enumerate(page)]

    def assertShowsAsBrowseQuery(self, **expected_state):
        state = self.state()
        for key, value in expected_state.items():
            self.assertEqual(value, state[key], f"{key} of {state}")
        rows = self.shown_rows()
        self.assertEqual(self.expected_rows(state), rows)
        return rows

    def arrows(self):
        return [self.header(label).text for label in ("Name", "Number", "Flag")]

    # The tests.

    def test_sorting_paging_and_history_match_browse_query(self):
        self.assertEqual("idle", self.open())
        self.assertIn("Choose a data set", self.driver.find_element(By.ID, "message").text)
        Select(self.driver.find_element(By.ID, "dataset")).select_by_value(BIG)
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(dataset=BIG, fields="", offset=0, limit=25)
        self.assertIn("of 100,000", self.driver.find_element(By.ID, "range").text)

        self.header("Name").click()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName", direction="asc", offset=0)
        self.assertEqual(["Name ▲", "Number", "Flag"], self.arrows())
        self.screenshot("sorted-by-name")

        self.click("next")
        self.assertShowsAsBrowseQuery(fields="ByName", offset=25)
        self.click("last")
        self.assertEqual(25, len(self.assertShowsAsBrowseQuery(offset=ITEMS - 25)))
        self.assertTrue(self.driver.find_element(By.ID, "next").get_property("disabled"))

        self.header("Name").click()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName", direction="desc", offset=0)
        self.assertEqual(["Name ▼", "Number", "Flag"], self.arrows())

        ActionChains(self.driver).key_down(Keys.SHIFT).click(self.header("Number")).key_up(
            Keys.SHIFT).perform()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName,ByNumber", direction="desc")
        self.assertEqual(["Name ▼1", "Number ▼2", "Flag"], self.arrows())

        item = self.driver.find_element(By.ID, "goto-item")
        item.send_keys("50000")
        item.send_keys(Keys.ENTER)
        self.assertEqual("ready", self.settled())
        rows = self.assertShowsAsBrowseQuery(fields="ByName,ByNumber", offset=49_999)
        self.assertEqual("50,000", rows[0][0])
        self.screenshot("go-to-item")

        self.driver.refresh()
        self.assertEqual("ready", self.settled())
        self.assertEqual(rows, self.assertShowsAsBrowseQuery(offset=49_999))

        self.driver.back()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName,ByNumber", direction="desc", offset=0)
        self.driver.back()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName", direction="desc", offset=0)
        self.driver.forward()
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByName,ByNumber", offset=0)

        Select(self.driver.find_element(By.ID, "limit")).select_by_value("100")
        self.assertEqual("ready", self.settled())
        self.assertEqual(100, len(self.assertShowsAsBrowseQuery(limit=100)))

    def test_keyboard_reaches_and_works_every_control(self):
        self.assertEqual("ready", self.open(f"?dataset={BIG}&fields=&direction=asc&offset=25"))
        reached = set()
        body = self.driver.find_element(By.TAG_NAME, "body")
        body.click()
        for _ in range(30):
            ActionChains(self.driver).send_keys(Keys.TAB).perform()
            active = self.driver.switch_to.active_element
            reached.add(active.get_attribute("id") or active.text)
        for control in ["dataset", "first", "previous", "next", "last", "limit", "goto-item",
                        "download-csv", "download-jsonl", "Name", "Number", "Flag"]:
            self.assertIn(control, reached)

        self.header("Flag").send_keys(Keys.ENTER)
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByFlag", direction="asc")
        self.header("Flag").send_keys(Keys.SPACE)
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByFlag", direction="desc")
        self.driver.find_element(By.ID, "next").send_keys(Keys.ENTER)
        self.assertEqual("ready", self.settled())
        self.assertShowsAsBrowseQuery(fields="ByFlag", offset=25)

    def test_names_are_text_and_downloads_are_safe(self):
        self.assertEqual("ready", self.open(f"?dataset={HOSTILE}&fields=ByNumber&limit=25"))
        self.screenshot("hostile-names")
        names = [row[1] for row in self.assertShowsAsBrowseQuery(dataset=HOSTILE)]
        self.assertEqual(HOSTILE_NAMES, names)
        self.assertEqual(0, self.driver.execute_script(
            "return document.querySelectorAll('#items img').length"))
        with self.assertRaises(NoAlertPresentException):
            self.driver.switch_to.alert.text

        href = self.driver.find_element(By.ID, "download-csv").get_attribute("href")
        with urllib.request.urlopen(href, timeout=30) as answer:
            text = answer.read().decode()
        rows = list(csv.reader(io.StringIO(text, newline="")))
        self.assertEqual(["name", "number", "flag"], rows[0])
        formulas = tuple("=+-@\t\r")
        self.assertEqual([("'" + name if name.startswith(formulas) else name, str(number), "1")
                          for number, name in enumerate(HOSTILE_NAMES)],
                         [tuple(row) for row in rows[1:]])

    def test_export_of_the_page_order_matches_browse_query(self):
        self.assertEqual("ready", self.open(f"?dataset={BIG}&fields=ByNumber,ByName&direction=desc"))
        href = self.driver.find_element(By.ID, "download-jsonl").get_attribute("href")
        with urllib.request.urlopen(href, timeout=60) as answer:
            exported = [json.loads(line) for line in answer.read().decode().splitlines()]
        state = {"dataset": BIG, "fields": "ByNumber,ByName", "direction": "desc", "offset": 0,
                 "limit": ITEMS}
        expected = self.expected_rows(state)
        self.assertEqual(ITEMS, len(exported))
        self.assertEqual([row[1:] for row in expected],
                         [[item.get("name", ""), str(item.get("number", 0)),
                           str(item.get("flags", {}).get("flag", 0))] for item in exported])

    def test_browse_and_export_requests_name_the_data_set_alike_in_the_url(self):
        # A proxy in front of several servers picks one by the dataset
        # parameter's text: the page's browse and export requests must carry
        # the same text, and the server must read it as the body's data set.
        for data_set, written in [(BIG, "dataset=/generated/items"),
                                  (ODD, "dataset=/odd%20names/%C3%A9t%C3%A9%2050%25%2B1%20%26%20more")]:
            with self.subTest(data_set=data_set):
                query = urllib.parse.urlencode({"dataset": data_set, "fields": "ByNumber"})
                self.assertEqual("ready", self.open("?" + query))
                self.assertShowsAsBrowseQuery(dataset=data_set, fields="ByNumber")
                self.click("next")
                self.assertShowsAsBrowseQuery(dataset=data_set, offset=25)
                self.assertEqual(["?" + written] * 2, self.browse_queries())
                href = self.driver.find_element(By.ID, "download-jsonl").get_attribute("href")
                self.assertEqual(written, urllib.parse.urlsplit(href).query.split("&")[0])
                with urllib.request.urlopen(href, timeout=30) as answer:
                    self.assertEqual(200, answer.status)

    def test_errors_show_as_messages(self):
        cases = [("/missing", "Error 404: no data set /missing"),
                 ("/.hidden", "Error 400: "),
                 (HUGE, "Error 503: ")]
        for data_set, message in cases:
            with self.subTest(data_set=data_set):
                self.assertEqual("error", self.open(f"?dataset={data_set}"))
                shown = self.driver.find_element(By.ID, "message")
                self.assertTrue(shown.is_displayed())
                self.assertTrue(shown.text.startswith(message), shown.text)
                self.assertFalse(self.driver.find_element(By.ID, "items").is_displayed())
                if data_set == "/missing":
                    self.screenshot("missing-data-set")


    def test_a_failed_listing_stays_shown_beside_the_page(self):
        # The list of data sets fails (as when no server answers it) while the
        # page's own data set loads: the page says so, rather than showing a
        # list that lacks every other data set without a word.
        self.driver.execute_cdp_cmd("Network.enable", {})
        self.driver.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/v1/datasets*"]})
        try:
            self.assertEqual("ready", self.open(f"?dataset={BIG}&fields=ByNumber"))
            self.assertShowsAsBrowseQuery(dataset=BIG, fields="ByNumber")
            options = self.driver.execute_script(
                "return [...document.getElementById('dataset').options].map(o => o.value)")
            self.assertEqual(["", BIG], options, "the list did not fail as the test needs")
            message = self.driver.find_element(By.ID, "message")
            try:
                WebDriverWait(self.driver, 5).until(lambda _: message.is_displayed())
            except TimeoutException:
                pass
            self.assertTrue(message.is_displayed(), "the failed listing is not shown")
            self.assertIn("The data sets cannot be listed", message.text)
        finally:
            self.driver.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})

    def listed_options(self):
        """(value, text, disabled) of each data set the picker offers, once listed."""
        script = ("return [...document.getElementById('dataset').options]"
                  ".map(o => [o.value, o.text, o.disabled])")
        WebDriverWait(self.driver, WAIT_SECONDS).until(
            lambda driver: len(driver.execute_script(script)) > 1)
        return self.driver.execute_script(script)[1:]

    def test_a_cut_listing_says_that_data_sets_are_missing(self):
        self.open()
        self.assertFalse(any(disabled for _, _, disabled in self.listed_options()))
        # The server lists at most 10 000 directory entries.
        many = os.path.join(self.scratch, "many")
        os.makedirs(many)
        for number in range(10_001):
            with open(os.path.join(many, f"{number:05}.jsonl"), "w") as out:
                out.write('{"name":"a","number":1}\n')
        server = ServeProcess(BINARY, many)
        try:
            self.driver.get(server.url + "/")
            self.assertEqual("idle", self.settled())
            options = self.listed_options()
            self.assertGreater(len(options), 9_000)
            self.assertFalse(any(disabled for _, _, disabled in options[:-1]))
            value, text, disabled = options[-1]
            self.assertTrue(disabled, "the cut listing is not marked")
            self.assertIn("not listed", text)
        finally:
            self.assertEqual(0, server.stop())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)

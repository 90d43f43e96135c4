"""The web page in headless Chromium, driven through Selenium: served by
`python3 -m http.server` on a local port, its downloads caught in a folder of
their own.  Used by the page's tests and by the benchmark."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.remote.file_detector import UselessFileDetector
from selenium.webdriver.support.ui import WebDriverWait

ANSWERS = {"y": "answer-yes", "n": "answer-no", "a": "answer-all"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def chromium_paths():
    """Debian's chromium and chromedriver."""
    browser = shutil.which("chromium") or "/usr/bin/chromium"
    driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    return browser, driver


class Page:
    def __init__(self, page_dir, timeout=300):
        self.timeout = timeout
        self.downloads = tempfile.mkdtemp(prefix="txweb-downloads-")
        port = free_port()
        self.server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1"],
                                       cwd=page_dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.url = "http://127.0.0.1:%d/index.html" % port
        self.file_url = "file://" + os.path.join(os.path.abspath(page_dir), "index.html")
        browser, driver = chromium_paths()
        options = webdriver.ChromeOptions()
        options.binary_location = browser
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--remote-debugging-pipe"):
            options.add_argument(argument)
        options.add_experimental_option("prefs", {"download.default_directory": self.downloads,
                                                  "download.prompt_for_download": False})
        # Nothing goes through the name "localhost", which a minimal system
        # (no /etc/hosts) cannot resolve: chromedriver is started here and
        # reached at 127.0.0.1 (Selenium's own start of it looks for
        # "localhost"), and it talks to the browser through a pipe.
        driver_port = free_port()
        self.chromedriver = subprocess.Popen([driver, "--port=%d" % driver_port], stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL)
        try:
            self._wait_for_port(driver_port)
            self.driver = webdriver.Remote(command_executor="http://127.0.0.1:%d" % driver_port, options=options)
            # The browser is on this machine: a chosen file goes by its path.
            self.driver.file_detector = UselessFileDetector()
            self.driver.set_script_timeout(timeout)
            self._wait_for_port(port)
        except BaseException:
            self.chromedriver.kill()
            self.server.kill()
            raise

    @staticmethod
    def _wait_for_port(port):
        deadline = time.time() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                return
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)

    def close(self):
        try:
            self.driver.quit()
        finally:
            self.chromedriver.terminate()
            self.chromedriver.wait()
            self.server.terminate()
            self.server.wait()
            shutil.rmtree(self.downloads, ignore_errors=True)

    # ---- the page

    def open(self, from_folder=False):
        """The page as served, or opened from its folder (file://)."""
        self.driver.get(self.file_url if from_folder else self.url)
        self.wait(lambda d: d.execute_script("return document.body.dataset.ready") == "yes")

    def wait(self, condition, timeout=None):
        return WebDriverWait(self.driver, timeout or self.timeout, poll_frequency=0.05).until(condition)

    def element(self, id_):
        return self.driver.find_element(By.ID, id_)

    def text_of(self, id_):
        return self.driver.execute_script("return document.getElementById(arguments[0]).textContent", id_)

    def shown(self, id_):
        return self.driver.execute_script("return !document.getElementById(arguments[0]).hidden", id_)

    def choose_file(self, input_id, info_id, path):
        """Chooses a file and waits until the page says what it made of it
        (what it said before is cleared first)."""
        self.driver.execute_script("document.getElementById(arguments[0]).textContent = '';"
                                   "document.getElementById('failure').hidden = true", info_id)
        self.element(input_id).send_keys(os.path.abspath(path))
        self.wait(lambda d: self.text_of(info_id) or self.shown("failure"))

    def choose_database(self, path):
        self.choose_file("database-file", "database-info", path)

    def load_text(self, path):
        self.choose_file("text-file", "text-info", path)

    def alert_text(self):
        """The text of an open confirm or alert, or None."""
        try:
            return self.driver.switch_to.alert.text
        except Exception:  # no alert open
            return None

    def answer_alert(self, accept):
        alert = self.driver.switch_to.alert
        if accept:
            alert.accept()
        else:
            alert.dismiss()

    def double_click(self, id_):
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.driver).double_click(self.element(id_)).perform()

    def text_area(self):
        return self.driver.execute_script("return document.getElementById('text').value")

    def edit_text(self, value):
        """Replaces the text area's content as typing would, then types a
        line at its end through the keyboard."""
        self.driver.execute_script(
            "const t = document.getElementById('text'); t.value = arguments[0];"
            "t.dispatchEvent(new Event('input', {bubbles: true}));", value)

    def type_text(self, keys):
        area = self.element("text")
        self.driver.execute_script("const t = arguments[0]; t.focus(); t.selectionStart = t.selectionEnd = t.value.length;",
                                   area)
        area.send_keys(keys)

    def merge(self, answers, by_key=False, stop_at=None):
        """Clicks Merge and answers each question in turn ('y', 'n', 'a');
        the questions asked, each its question line and the two blocks with
        their changed lines.  `stop_at` (a number of questions) stops there
        with Escape."""
        self.element("merge").click()
        asked = []
        while True:
            self.wait(lambda d: d.execute_script(
                "return document.getElementById('question').open || document.body.dataset.merge !== 'running'"))
            if not self.driver.execute_script("return document.getElementById('question').open"):
                return asked
            # The dialog takes answers only once it has been seen a moment.
            self.wait(lambda d: d.execute_script("return document.getElementById('question').dataset.ready === 'yes'"))
            asked.append(self.driver.execute_script("""
                const lines = (id) => Array.from(document.getElementById(id).children).map(
                    (s) => (s.className === 'changed' ? '> ' : '  ') + s.textContent.replace(/\\n$/, ''));
                return {line: document.getElementById('question-line').textContent,
                        count: document.getElementById('question-count').textContent,
                        existing: lines('existing'), incoming: lines('incoming')};"""))
            if stop_at is not None and len(asked) == stop_at:
                self.element("question").send_keys(Keys.ESCAPE)
                continue
            if len(asked) > len(answers):
                raise AssertionError("more questions than answers: %r" % asked[-1]["line"])
            answer = answers[len(asked) - 1]
            if by_key:
                self.element("question").send_keys(answer.upper() if len(asked) % 2 else answer)
            else:
                self.element(ANSWERS[answer]).click()

    def outcome(self):
        return self.driver.execute_script("return document.body.dataset.merge")

    def core_ms(self):
        return float(self.driver.execute_script("return document.body.dataset.coreMs"))

    def notes(self):
        return self.driver.execute_script(
            "return Array.from(document.querySelectorAll('#notes li')).map((li) => li.textContent)")

    def failure(self):
        return self.text_of("failure") if self.shown("failure") else ""

    def download(self, button_id, name):
        """Clicks a download button and returns the bytes saved as `name`."""
        path = os.path.join(self.downloads, name)
        if os.path.exists(path):
            os.remove(path)
        self.element(button_id).click()
        try:
            self.wait(lambda d: os.path.exists(path) and not os.path.exists(path + ".crdownload"), 120)
        except TimeoutException:
            raise AssertionError("nothing was downloaded as %s: %s" % (name, os.listdir(self.downloads)))
        # A download is complete once its size stops changing.
        size = -1
        while size != os.path.getsize(path):
            size = os.path.getsize(path)
            time.sleep(0.1)
        with open(path, "rb") as f:
            return f.read()

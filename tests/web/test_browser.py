"""The page in headless Chromium against korvexd on a temporary root: one
table of scenarios, each a tree on the phone and what a person does."""
import base64
import os
import time

import pytest

from conftest import OUTPUT, Service, make_tree, read_tree, wait_for

pytest.importorskip("selenium", reason="browser tests skipped: python3-selenium is missing")
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>.jpg"


class Page:
    def __init__(self, driver, setup):
        self.driver = driver
        self.setup = setup

    def open(self, query=""):
        self.driver.get(self.setup.web.url + query)
        self.settle()

    def settle(self):
        wait_for(lambda: self.driver.execute_script(
            "return document.body.dataset.loading === 'false' && !document.querySelector('dialog[open]')"),
            "the listing to load")

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def names(self):
        # Read in one go: the rows are replaced whenever the listing is.
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#rows td.name a')].map((a) => a.textContent)")

    def wait_names(self, expected):
        wait_for(lambda: self.names() == expected, f"the names {expected} (shown: {self.names()})")

    def row(self, name):
        for row in self.driver.find_elements(By.CSS_SELECTOR, "#rows tr[data-path]"):
            if row.find_element(By.CSS_SELECTOR, "td.name a").text == name:
                return row
        raise AssertionError(f"no row for {name!r}: {self.names()}")

    def answer_dialog(self, text=None, button=None):
        """Fills the open dialog's field with `text` and presses `button`; returns the dialog's question."""
        wait_for(lambda: self.driver.find_elements(By.CSS_SELECTOR, "dialog[open]"), "the dialog")
        question = self.find("#dialog-text").text
        if text is not None:
            field = self.find("#dialog-input")
            field.clear()
            field.send_keys(text)
        for candidate in self.driver.find_elements(By.CSS_SELECTOR, "#dialog-buttons button"):
            if candidate.text == button:
                candidate.click()
                return question
        raise AssertionError(f"no {button!r} button in the dialog")

    def message(self):
        wait_for(lambda: self.find("#message").is_displayed(), "a message")
        return self.find("#message-text").text

    def uploads_done(self, count):
        wait_for(lambda: len(self.driver.find_elements(By.CSS_SELECTOR, "#transfer-list li[data-state=done]")) == count,
                 f"{count} uploads to finish", timeout=30)
        for bar in self.driver.find_elements(By.CSS_SELECTOR, "#transfer-list progress"):
            assert bar.get_property("value") == bar.get_property("max")
        batch = self.find("#batch-progress")
        assert batch.get_property("value") == batch.get_property("max")


def browse_in_and_back(page):
    page.open()
    page.wait_names(["photos", "b.txt"])  # folders first
    page.row("photos").find_element(By.CSS_SELECTOR, "td.name a").click()
    page.wait_names(["a.jpg"])
    assert "path=%2Fphotos" in page.driver.current_url
    assert [c.text for c in page.driver.find_elements(By.CSS_SELECTOR, "#crumbs > *:not(.sep)")] == ["Phone", "photos"]
    page.driver.refresh()
    page.settle()
    page.wait_names(["a.jpg"])
    page.driver.back()
    page.wait_names(["photos", "b.txt"])
    page.driver.forward()
    page.wait_names(["a.jpg"])
    page.find("#crumbs a").click()
    page.wait_names(["photos", "b.txt"])


def sort_and_filter(page):
    page.open()
    page.wait_names(["z", "a9", "a10", "b"])  # numbers within names in numeric order
    page.find("button[data-sort=size]").click()
    page.wait_names(["z", "b", "a9", "a10"])  # largest first
    page.find("button[data-sort=size]").click()
    page.wait_names(["z", "a10", "a9", "b"])
    page.find("#filter").send_keys("a1")
    page.wait_names(["a10"])
    page.find("#filter").clear()
    page.find("#filter").send_keys("nothing")
    page.wait_names([])
    assert page.find("#empty").text == "No name matches the filter."


def download_compares_bytes(page):
    target = page.setup.tmp / "downloads"
    target.mkdir()
    page.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(target)})
    page.open()
    page.row("data.bin").find_element(By.CSS_SELECTOR, "a[aria-label='Download data.bin']").click()
    saved = target / "data.bin"
    wait_for(lambda: saved.exists() and not list(target.glob("*.crdownload")), "the download to land", timeout=30)
    assert saved.read_bytes() == (page.setup.root / "data.bin").read_bytes()


def upload_by_input(page):
    local = page.setup.tmp / "local"
    local.mkdir()
    files = {"one.bin": os.urandom(300_000), "two words.txt": b"two\n"}
    for name, data in files.items():
        (local / name).write_bytes(data)
    page.open()
    page.find("#file-input").send_keys("\n".join(str(local / name) for name in files))
    page.uploads_done(2)
    page.wait_names(["one.bin", "two words.txt"])
    assert read_tree(page.setup.root) == files


def upload_by_drop(page):
    page.open()
    dropped = {"dropped.bin": os.urandom(200_000), "second.txt": b"second"}
    page.driver.execute_script(
        """
        const transfer = new DataTransfer();
        for (const [name, data] of Object.entries(arguments[0])) {
          const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
          transfer.items.add(new File([bytes], name));
        }
        const zone = document.getElementById('drop-zone');
        zone.dispatchEvent(new DragEvent('dragover', {dataTransfer: transfer, bubbles: true, cancelable: true}));
        zone.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true, cancelable: true}));
        """,
        {name: base64.b64encode(data).decode() for name, data in dropped.items()})
    page.uploads_done(2)
    assert read_tree(page.setup.root) == {"kept.txt": b"kept", **dropped}


def rename_mkdir_delete(page):
    page.open()
    page.find("#new-folder").click()
    page.answer_dialog("made", "Create")
    page.wait_names(["full", "made", "old.txt"])
    page.row("old.txt").find_element(By.CSS_SELECTOR, "[data-action=rename]").click()
    page.answer_dialog("new.txt", "Rename")
    page.wait_names(["full", "made", "new.txt"])
    page.row("full").find_element(By.CSS_SELECTOR, "[data-action=delete]").click()
    question = page.answer_dialog(button="Delete")
    assert question == "Delete the folder “full” and the 2 entries in it?"
    page.wait_names(["made", "new.txt"])
    page.row("new.txt").find_element(By.CSS_SELECTOR, "[data-action=delete]").click()
    page.answer_dialog(button="Cancel")
    page.wait_names(["made", "new.txt"])
    assert read_tree(page.setup.root) == {"made/": None, "new.txt": b"old"}


def refusal_shows_its_reason(page):
    page.open()
    page.row("a.txt").find_element(By.CSS_SELECTOR, "[data-action=rename]").click()
    page.answer_dialog("b.txt", "Rename")
    assert page.message() == "/b.txt: exists"
    page.find("#new-folder").click()
    page.answer_dialog("..", "Create")
    assert "may not be" in page.message()
    assert read_tree(page.setup.root) == {"a.txt": b"a", "b.txt": b"b"}


def hostile_name_is_text(page):
    page.open("&path=%2Fp")
    page.wait_names([HOSTILE])
    assert page.driver.find_elements(By.CSS_SELECTOR, "#rows img, #crumbs img") == []
    assert page.find("#crumbs [aria-current]").text == "p"
    page.row(HOSTILE).find_element(By.CSS_SELECTOR, "[data-action=rename]").click()
    assert page.answer_dialog(button="Cancel") == f"New name for “{HOSTILE}”"
    time.sleep(0.3)  # an onerror would have fired by now
    with pytest.raises(NoAlertPresentException):
        page.driver.switch_to.alert.text


def phone_drops_and_comes_back(page):
    page.open()
    page.wait_names(["a.txt"])
    indicator = lambda: page.find("#connection").get_attribute("data-state")  # noqa: E731
    wait_for(lambda: indicator() == "connected", "the indicator to show the phone")
    setup = page.setup
    port = setup.service.address.rsplit(":", 1)[1]
    setup.service.stop()
    # The page's next look at the state shows the loss, before any action.
    wait_for(lambda: indicator() == "disconnected", "the indicator to show the loss", timeout=15)
    (setup.root / "b.txt").write_bytes(b"b")
    setup.service = Service(setup.root, setup.tmp / "korvexd-again.log", listen=f"127.0.0.1:{port}")
    page.find("#new-folder").click()
    page.answer_dialog("made", "Create")
    assert page.message() == "The connection to the phone was lost and is back."
    page.wait_names(["made", "a.txt", "b.txt"])
    assert indicator() == "connected"
    assert read_tree(setup.root) == {"a.txt": b"a", "b.txt": b"b", "made/": None}


def big_folder_shows_every_name_in_turn(page):
    page.open("&path=%2Fmany")
    wait_for(lambda: page.names()[:2] == ["sub", "name-0000"], "the first rows")
    # Only the rows near the screen are in the document ...
    assert len(page.names()) < 1500
    # ... and the end of the page shows the last one, on screen.
    page.driver.execute_script("window.scrollTo(0, document.documentElement.scrollHeight)")
    wait_for(lambda: page.names()[-1] == "name-1498", "the last row after scrolling")
    bottom = page.driver.execute_script(
        "const links = document.querySelectorAll('#rows td.name a');"
        "return [links[links.length - 1].getBoundingClientRect().bottom, window.innerHeight]")
    assert 0 < bottom[0] <= bottom[1]
    page.find("#filter").send_keys("1234")
    page.wait_names(["name-1234"])
    page.row("name-1234").find_element(By.CSS_SELECTOR, "[data-action=delete]").click()
    assert page.answer_dialog(button="Delete") == "Delete the file “name-1234”?"
    page.wait_names([])
    assert not (page.setup.root / "many" / "name-1234").exists()


# (scenario, the phone's tree)
SCENARIOS = [
    (browse_in_and_back, {"photos/": None, "photos/a.jpg": b"jpeg", "b.txt": b"b"}),
    (sort_and_filter, {"z/": None, "a9": b"x" * 20, "a10": b"x" * 10, "b": b"x" * 300}),
    (download_compares_bytes, {"data.bin": os.urandom(700_000)}),
    (upload_by_input, {}),
    (upload_by_drop, {"kept.txt": b"kept"}),
    (rename_mkdir_delete, {"full/": None, "full/1": b"1", "full/2": b"2", "old.txt": b"old"}),
    (refusal_shows_its_reason, {"a.txt": b"a", "b.txt": b"b"}),
    (hostile_name_is_text, {"p/": None, "p/" + HOSTILE: b"not an image"}),
    (phone_drops_and_comes_back, {"a.txt": b"a"}),
    (big_folder_shows_every_name_in_turn,
     {"many/sub/": None, **{f"many/name-{n:04}": b"x" * n for n in range(1499)}}),
]


@pytest.mark.parametrize("scenario,tree", SCENARIOS, ids=[s[0].__name__ for s in SCENARIOS])
def test_scenario(browser, setup, scenario, tree):
    make_tree(setup.root, tree)
    scenario(Page(browser, setup))


def test_screenshot_for_the_readme(browser, setup):
    """The picture docs/web.md shows, made from a real run."""
    make_tree(setup.root, {"DCIM/": None, "Download/": None, "Music/": None, "Documents/": None,
                           "Documents/notes.txt": b"notes", "IMG_2041.jpg": b"j" * 2_400_000,
                           "IMG_2042.jpg": b"j" * 3_100_000, "report.pdf": b"p" * 380_000,
                           "voice memo.m4a": b"m" * 1_200_000})
    local = setup.tmp / "upload"
    local.mkdir()
    (local / "holiday.mp4").write_bytes(b"v" * 3_000_000)
    page = Page(browser, setup)
    page.open()
    page.find("#file-input").send_keys(str(local / "holiday.mp4"))
    page.uploads_done(1)
    page.settle()
    OUTPUT.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(OUTPUT / "web-page.png"))
    assert (OUTPUT / "web-page.png").stat().st_size > 0

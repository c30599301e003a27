"""The built site, opened in a real browser: Debian's Chromium, headless, by Selenium.

Each page must render with no error on the browser's console, the search box
must find ``wbl_cdf`` in the API reference, and a screenshot of each page is
kept in build/docs/screenshots for a person to look at.
"""

import functools
import http.server
import importlib
import os
import pathlib
import re
import shutil
import threading

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as shown
from selenium.webdriver.support.ui import WebDriverWait

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = pathlib.Path(os.environ.get("VINDRAL_DOCS_SITE", ROOT / "build" / "docs" / "html"))
SCREENSHOTS = ROOT / "build" / "docs" / "screenshots"
CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")


@pytest.mark.parametrize("name", ["vindral", "vindral_ufunc"])
def test_reference_has_every_public_name(name):
    page = (SITE / "api" / name / "index.html").read_text(encoding="utf-8")
    module = importlib.import_module(name)
    public = [attribute for attribute in dir(module) if not attribute.startswith("_")]
    assert [attribute for attribute in public if f'id="{name}.{attribute}"' not in page] == []


def test_readme_links_reach_pages():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    pages = re.findall(r"https://vindral\.readthedocs\.io/en/latest/([\w/.-]+)", readme)
    assert pages
    assert [page for page in pages if not (SITE / page).is_file()] == []


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


@pytest.fixture(scope="module")
def site():
    """The built site served over HTTP, as a reader gets it (search loads its index by script)."""
    assert (SITE / "index.html").is_file(), f"build the site first: {SITE} has no index.html"
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(SITE))
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.fixture(scope="module")
def browser():
    assert CHROMIUM and CHROMEDRIVER, "needs Debian's chromium and chromium-driver packages"
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER))
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    yield driver
    driver.quit()


def open_page(browser, url):
    browser.get(url)
    WebDriverWait(browser, 20).until(
        lambda driver: driver.execute_script("return document.readyState") == "complete"
    )


def console_errors(browser):
    """What the page logged as errors since the last look (reading the log empties it)."""
    return [entry["message"] for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def save_whole_page(browser, name):
    """A screenshot of the whole page, not only what the window shows."""
    width, height = browser.get_window_size().values()
    whole = browser.execute_script("return document.documentElement.scrollHeight")
    browser.set_window_size(width, min(whole + 150, 8000))
    browser.save_screenshot(str(SCREENSHOTS / f"{name}.png"))
    browser.set_window_size(width, height)


def images_broken(browser):
    return browser.execute_script(
        "return [...document.images].filter(i => !i.complete || i.naturalWidth === 0)"
        ".map(i => i.src)"
    )


# page, what must be on it (a CSS selector), the screenshot's name
PAGES = [
    ("index.html", "#in-ten-lines pre", "landing"),
    ("api/vindral/index.html", "[id='vindral.wbl_cdf']", "api-vindral"),
    ("api/vindral_ufunc/index.html", "[id='vindral_ufunc.wbl_bins']", "api-vindral_ufunc"),
    ("gallery/annual_energy.html", "img.sphx-glr-single-img", "gallery-annual_energy"),
    ("guide/performance.html", "img[src*='array_cost']", "guide-performance"),
]


@pytest.mark.parametrize("path, selector, name", PAGES, ids=[page[2] for page in PAGES])
def test_page_renders(site, browser, path, selector, name):
    console_errors(browser)
    open_page(browser, f"{site}/{path}")
    assert browser.find_elements(By.CSS_SELECTOR, selector), f"{path} lacks {selector}"
    assert browser.find_element(By.CSS_SELECTOR, "header.bd-header").is_displayed()
    assert images_broken(browser) == []
    save_whole_page(browser, name)
    assert console_errors(browser) == []


def test_search_box_finds_wbl_cdf(site, browser):
    open_page(browser, f"{site}/index.html")
    console_errors(browser)
    # The header's search button opens the search field (as Ctrl+K does).
    browser.find_element(By.CSS_SELECTOR, "button.search-button-field").click()
    field = WebDriverWait(browser, 10).until(
        shown.visibility_of_element_located((By.CSS_SELECTOR, "form.bd-search input[name='q']"))
    )
    field.send_keys("wbl_cdf", Keys.ENTER)
    WebDriverWait(browser, 30).until(
        lambda driver: driver.find_elements(By.CSS_SELECTOR, "#search-results ul.search li")
    )
    results = browser.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a")
    targets = [link.get_attribute("href") for link in results]
    assert any("api/vindral/index.html" in target for target in targets), targets
    save_whole_page(browser, "search-wbl_cdf")
    assert console_errors(browser) == []

#!/usr/bin/python3
"""The monitor's web page in a real browser (headless Chromium driven by Selenium): the table
shows the demo job's state and step, a plot holds the points of the reports the job sent, an
event updates the page without a reload, and Kill without the token is refused while Kill
with it stops the job.
    monitor_web_test.py <ipm_monitor> <ipm_job>
Exits 77 (skipped) only when Chromium itself cannot start here; WEB_SCREENSHOT=FILE keeps a
screenshot of the page."""
import math
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
TOKEN = "s3cret-token"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError as missing:
    print(f"FAIL: python3-selenium is missing ({missing}); scripts/install-deps installs it")
    sys.exit(1)


def fail(text, outputs=()):
    print(f"FAIL: {text}")
    for path in outputs:
        if os.path.exists(path):
            print(f"--- {path}")
            with open(path, errors="replace") as file:
                print(file.read()[-4000:])
    sys.exit(1)


def wait_for(what, check, seconds=20.0, outputs=()):
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = check()
            if value:
                return value
        except Exception:  # the page may be between two renderings
            pass
        if time.monotonic() > deadline:
            fail(f"waited {seconds:.0f} s for {what}", outputs)
        time.sleep(0.1)


def read_file(path, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            with open(path) as file:
                return file.read().strip()
        time.sleep(0.05)
    return None


def start_browser(work):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1400,1100",
                     f"--user-data-dir={work}/chromium-profile"):
        options.add_argument(argument)
    if not os.path.exists(CHROMIUM) or not os.path.exists(DRIVER):
        fail(f"{CHROMIUM} or {DRIVER} is missing; scripts/install-deps installs chromium and "
             "chromium-driver")
    try:
        browser = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    except Exception as failure:  # Chromium cannot start on this machine at all
        print(f"SKIP: Chromium does not start here: {str(failure).splitlines()[0]}")
        sys.exit(SKIP)
    browser.set_page_load_timeout(20)
    browser.set_script_timeout(10)
    return browser


def row_text(browser, job, cell):
    return browser.find_element(By.CSS_SELECTOR, f'#jobs tr[data-job="{job}"] td.{cell}').text


def main():
    monitor, job = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="web-test-")
    processes = []
    monitor_out = os.path.join(work, "monitor.out")
    outputs = [monitor_out]
    browser = None
    try:
        with open(monitor_out, "w") as out:
            processes.append(subprocess.Popen(
                [monitor, "-port", "0", "-port_file", f"{work}/port", "-http", "0",
                 "-http_port_file", f"{work}/http", "-http_token", TOKEN, "-history", "none",
                 "-plain"], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT))
        port, http = read_file(f"{work}/port"), read_file(f"{work}/http")
        if not port or not http:
            fail("the monitor wrote no port", outputs)
        url = f"http://127.0.0.1:{http}/"

        # A demo job of 12 steps runs to its end before the page opens.
        steps = 12
        subprocess.run([job, "-job", "demo", "-indir", work, "-direct_port", port, "-steps",
                        str(steps), "-delay_ms", "50"], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        browser = start_browser(work)
        browser.get(url)
        wait_for("the demo job finished at 12/12 in the table",
                 lambda: row_text(browser, "demo", "state") == "finished"
                 and row_text(browser, "demo", "progress").startswith("12/12"),
                 outputs=outputs)

        # Its plot: one point per Step report, the residual the job sent (10^-(step % 7)).
        browser.find_element(By.CSS_SELECTOR, '#jobs tr[data-job="demo"] td.job').click()
        points = wait_for("the residual plot", lambda: browser.execute_script(
            "const canvas = document.querySelector('canvas[data-field=\"residual\"]');"
            "const chart = canvas && Chart.getChart(canvas);"
            "return chart && chart.data.datasets[0].data.length ? "
            "  [chart.data.datasets[0].data.map(p => [p.x, p.y]), chart.options.scales.y.type]"
            "  : null;"), outputs=outputs)
        data, scale = points
        expected = [[step, 10.0 ** -(step % 7)] for step in range(1, steps + 1)]
        if len(data) != steps or any(
                x != ex or not math.isclose(y, ey, rel_tol=1e-6)
                for (x, y), (ex, ey) in zip(data, expected)):
            fail(f"residual plot {data}, expected {expected}", outputs)
        if scale != "logarithmic":
            fail(f"the residual is plotted on a {scale} scale, not a log scale", outputs)
        reports = browser.find_elements(By.CSS_SELECTOR, "#reports tbody tr")
        if not reports or "Finished" not in reports[0].text:
            fail("the latest reports do not end with Finished", outputs)

        # An event, not a reload, brings a new job onto the page.
        browser.execute_script("window.stillTheSamePage = true;")
        events_before = browser.execute_script("return monitorPage.tableEvents;")
        long_job = subprocess.Popen(
            [job, "-job", "long", "-indir", work, "-direct_port", port, "-steps", "3000",
             "-delay_ms", "100"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(long_job)
        wait_for("the new job running on the page",
                 lambda: row_text(browser, "long", "state") == "running", outputs=outputs)
        first = row_text(browser, "long", "progress")
        wait_for("the new job's step moving on the page",
                 lambda: row_text(browser, "long", "progress") != first, outputs=outputs)
        if not browser.execute_script("return window.stillTheSamePage === true;"):
            fail("the page was reloaded", outputs)
        if browser.execute_script("return monitorPage.tableEvents;") <= events_before:
            fail("no table event arrived", outputs)

        screenshot = os.environ.get("WEB_SCREENSHOT")
        if screenshot:
            wait_for("a pace for the new job", lambda: row_text(browser, "long", "eta"))
            time.sleep(0.5)
            browser.save_screenshot(screenshot)

        # Kill without the token: refused, and the job runs on.
        def send_kill(token):
            browser.find_element(By.CSS_SELECTOR, '#jobs tr[data-job="long"] button.kill').click()
            field = wait_for("the token field", lambda: browser.find_element(By.ID, "token"))
            wait_for("the kill panel", lambda: field.is_displayed())
            field.clear()
            if token:
                field.send_keys(token)
            browser.execute_script("document.getElementById('kill-result').textContent = '';")
            browser.find_element(By.ID, "kill-send").click()
            return wait_for("the answer to Kill",
                            lambda: browser.find_element(By.ID, "kill-result").text,
                            outputs=outputs)

        answer = send_kill("")
        if "refused" not in answer:
            fail(f"Kill without the token was not refused: {answer!r}", outputs)
        if send_kill("not-the-token") != answer:
            fail("Kill with a wrong token was not refused", outputs)
        time.sleep(1.0)
        if row_text(browser, "long", "state") != "running" or long_job.poll() is not None:
            fail("the job stopped although Kill was refused", outputs)
        with open(monitor_out) as file:
            if "sent Kill to long" in file.read():
                fail("the monitor sent a Kill that the page should not have", outputs)

        # A job whose name holds a line feed and another job's name is killed by the page,
        # and only it: the page asks for the job itself, never for a name on a typed line.
        hostile_name = "long\nx"
        hostile = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
        hostile.sendall(hostile_name.encode() + b'<Started><steps type="integer">9</steps>'
                        b'</Started>')
        wait_for("the hostile job's row", lambda: browser.execute_script(
            "return [...document.querySelectorAll('#jobs tbody tr')]"
            "  .some(row => row.dataset.job === arguments[0]);", hostile_name), outputs=outputs)
        browser.execute_script(
            "[...document.querySelectorAll('#jobs tbody tr')]"
            "  .find(row => row.dataset.job === arguments[0]).querySelector('button.kill').click();",
            hostile_name)
        field = browser.find_element(By.ID, "token")
        wait_for("the kill panel", lambda: field.is_displayed())
        field.clear()
        field.send_keys(TOKEN)
        browser.find_element(By.ID, "kill-send").click()
        hostile.settimeout(10)
        if b"Kill" not in hostile.recv(64):
            fail("the hostile job got no Kill", outputs)
        hostile.close()
        wait_for("the hostile job shown killed", lambda: browser.execute_script(
            "return [...document.querySelectorAll('#jobs tbody tr')]"
            "  .find(row => row.dataset.job === arguments[0]).cells[1].textContent;",
            hostile_name) == "killed", outputs=outputs)
        if row_text(browser, "long", "state") != "running" or long_job.poll() is not None:
            fail("killing the hostile job stopped another", outputs)

        # With the token the Kill goes through and the page shows the job killed.
        answer = send_kill(TOKEN)
        if "Kill requested" not in answer:
            fail(f"Kill with the token was not accepted: {answer!r}", outputs)
        wait_for("the job shown killed",
                 lambda: row_text(browser, "long", "state") == "killed", outputs=outputs)
        if long_job.wait(timeout=20) != 0:
            fail("the killed job ended badly", outputs)

        print("web page: all checks passed (table, plot of 12 points, live events, Kill refused "
              "without the token and accepted with it)")
    finally:
        if browser is not None:
            browser.quit()
        for process in processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""korvex web against the CLI: a folder opened in headless Chromium through a
shaped link, a 10,000-name folder's rendering and filter, and a large file
through the page's HTTP API against the CLI's get and put on loopback.

  bench/web.py [--build DIR] [--rounds N] [--profile wifi5|wifi30] [--size-mib N]
               [--transfers-shaped] [--only open,big,transfer] [--workdir DIR]

  --build     a build with korvexd, korvex and link_proxy (default: configure
              and build them, Release, in build-bench, as bench/link.sh does)
  --rounds    rounds per figure (default 3); the figure is their median, the
              page and the CLI taking turns to go first
  --profile   the shaped link: wifi5 (5 ms one way, 200 Mbit/s; the default)
              or wifi30 (30 ms, 50 Mbit/s)
  --size-mib  the transferred file (default 256)
  --transfers-shaped  the transfers through the shaped link too, not only on
              loopback
  --only      some of: open (1,000 names, page against ls -l), big (10,000
              names: rendering and a filter keystroke), transfer (download
              and upload, page against get and put)
  --workdir   where the scratch files go (default $TMPDIR or /tmp)

Needs chromium, chromium-driver and python3-selenium (scripts/install-deps.sh
installs them) and curl. Every process it starts is stopped and the scratch
directory removed on exit; every step runs under a time limit.
"""
import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
PASSWORD = "korvex-web-bench"
PROFILES = {"wifi5": (5, 200), "wifi30": (30, 50)}
LIMIT = 600  # seconds for any one step
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--window-size=1280,900"]


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


class Processes:
    """What the bench started, stopped in reverse order on exit."""

    def __init__(self):
        self.running = []

    def start(self, command, first_line_has, **options):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, **options)
        self.running.append(process)
        ready, _, _ = select.select([process.stdout], [], [], 20)
        line = process.stdout.readline().decode().strip() if ready else ""
        if first_line_has not in line:
            sys.exit(f"{command[0]} did not start: {line!r}")
        return process, line

    def stop_all(self):
        for process in reversed(self.running):
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def build(directory):
    if directory:
        return Path(directory)
    directory = SOURCE / "build-bench"
    subprocess.run(["cmake", "-S", SOURCE, "-B", directory, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DKORVEX_BUILD_BENCH=ON", "-DKORVEX_BUILD_TOOLS=ON", "-DKORVEX_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", directory, "-j2", "--target", "korvexd", "korvex_cli", "link_proxy"],
                   check=True)
    return directory


def timed(command, **options):
    start = time.perf_counter()
    subprocess.run(command, check=True, timeout=LIMIT, **options)
    return time.perf_counter() - start


def median(values):
    return statistics.median(values) if values else float("nan")


class Page:
    """Headless Chromium on korvex web's page."""

    def __init__(self, url, profile_dir):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service as DriverService
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile_dir}"]:
            options.add_argument(flag)
        self.driver = webdriver.Chrome(service=DriverService(executable_path="/usr/bin/chromedriver"),
                                       options=options)
        self.driver.set_script_timeout(LIMIT)
        self.driver.get(url)
        self.wait("return document.body.dataset.loading === 'false'")

    def wait(self, condition, timeout=LIMIT):
        deadline = time.monotonic() + timeout
        while not self.driver.execute_script(condition):
            if time.monotonic() > deadline:
                sys.exit(f"the page never met: {condition}")
            time.sleep(0.01)

    def open_folder(self, path):
        """Milliseconds from the click on a folder at the root to the frame after its rows are shown."""
        self.driver.execute_script(
            "history.pushState(null, '', '?path=%2F'); dispatchEvent(new PopStateEvent('popstate'))")
        self.wait(f"return document.body.dataset.loading === 'false' && "
                  f"!!document.querySelector('#rows tr[data-path=\"{path}\"] a')")
        return self.driver.execute_async_script("""
            const [path, done] = arguments;
            const start = performance.now();
            document.querySelector(`#rows tr[data-path="${path}"] a`).click();
            const check = () => {
              if (document.body.dataset.loading === 'false' && document.querySelector('#rows tr[data-path] a')) {
                requestAnimationFrame(() => setTimeout(() => done(performance.now() - start)));
              } else {
                requestAnimationFrame(check);
              }
            };
            check();""", path)

    def listing_request(self, path):
        """Milliseconds the browser's last request for the listing of `path` took, from Resource Timing."""
        return self.driver.execute_script("""
            const asked = performance.getEntriesByType('resource')
              .filter((e) => e.name.includes('/api/list?') && e.name.includes(encodeURIComponent(arguments[0])));
            return asked.length ? asked[asked.length - 1].duration : null;""", path)

    def scroll_to_end(self, last_name):
        """Milliseconds from a jump to the end of the page to the frame after the row of `last_name` is there."""
        return self.driver.execute_async_script("""
            const [name, done] = arguments;
            window.scrollTo(0, 0);
            requestAnimationFrame(() => requestAnimationFrame(() => {
              const start = performance.now();
              window.scrollTo(0, document.documentElement.scrollHeight);
              const check = () => {
                const names = [...document.querySelectorAll('#rows td.name a')];
                if (names.length && names[names.length - 1].textContent === name) {
                  requestAnimationFrame(() => setTimeout(() => done(performance.now() - start)));
                } else if (performance.now() - start > 10000) {
                  done(null);
                } else {
                  requestAnimationFrame(check);
                }
              };
              check();
            }));""", last_name)

    def filter_keystrokes(self, text):
        """Milliseconds to the frame after each prefix of `text` typed into the filter, then after clearing it."""
        return self.driver.execute_async_script("""
            const [text, done] = arguments;
            const filter = document.getElementById('filter');
            const steps = [...text].map((_, i) => text.slice(0, i + 1)).concat(['']);
            const times = [];
            const next = () => {
              if (times.length === steps.length) return done(times);
              filter.value = steps[times.length];
              const start = performance.now();
              filter.dispatchEvent(new Event('input', {bubbles: true}));
              requestAnimationFrame(() => setTimeout(() => { times.push(performance.now() - start); next(); }));
            };
            next();""", text)

    def rows(self):
        return self.driver.execute_script("return document.getElementById('rows').children.length")

    def quit(self):
        self.driver.quit()


def resident_peak(pid):
    """VmHWM and VmRSS of a process, in MiB."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines() if ":" in line)
    return int(fields["VmHWM"].split()[0]) / 1024, int(fields["VmRSS"].split()[0]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--profile", choices=PROFILES, default="wifi5")
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--transfers-shaped", action="store_true")
    parser.add_argument("--only", default="open,big,transfer")
    parser.add_argument("--workdir", default=os.environ.get("TMPDIR", "/tmp"))
    args = parser.parse_args()
    only = set(args.only.split(","))
    built = build(args.build)
    korvexd = built / "tools" / "korvexd" / "korvexd"
    korvex = built / "tools" / "korvex" / "korvex"
    link_proxy = built / "bench" / "link_proxy"
    delay_ms, rate_mbit = PROFILES[args.profile]

    work = Path(tempfile.mkdtemp(prefix="korvex-web-bench.", dir=args.workdir))
    processes = Processes()
    pages = []
    try:
        run(args, only, work, processes, pages, korvexd, korvex, link_proxy, delay_ms, rate_mbit)
    finally:
        for page in pages:
            page.quit()
        processes.stop_all()
        shutil.rmtree(work, ignore_errors=True)


def run(args, only, work, processes, pages, korvexd, korvex, link_proxy, delay_ms, rate_mbit):
    root = work / "phone"
    for count in (1000, 10000):
        (root / f"names{count}").mkdir(parents=True)
        for n in range(count):
            (root / f"names{count}" / f"name-{n:05}.txt").write_bytes(b"x" * (n % 4096))
    size = args.size_mib << 20
    if "transfer" in only:
        with open(work / "big.bin", "wb") as out:
            for _ in range(args.size_mib):
                out.write(os.urandom(1 << 20))
        shutil.copy(work / "big.bin", root / "big.bin")
    password = work / "password"
    password.write_text(PASSWORD + "\n")
    password.chmod(0o600)
    scratch = work / "scratch"
    scratch.mkdir()
    log = open(work / "log", "wb")

    _, line = processes.start([korvexd, "--root", root, "--password-file", password, "--listen", "127.0.0.1:0"],
                              "listening on", stderr=log)
    direct = line.rsplit(" ", 1)[1]
    _, line = processes.start([link_proxy, "--to", direct, "--delay-ms", str(delay_ms), "--rate-mbit",
                               str(rate_mbit)], "listening on", stderr=log)
    shaped = line.rsplit(" ", 1)[1]
    commit = subprocess.run(["git", "-C", SOURCE, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    print(f"korvex web against the CLI: {commit.stdout.strip()}, {args.rounds} rounds, {os.cpu_count()} cores, "
          f"load average at start: {load_average()}")

    def web(phone):
        process, url = processes.start([korvex, "--host", phone, "--password-file", password, "web", "--listen",
                                        "127.0.0.1:0"], "?token=", stderr=log, env=dict(os.environ, TMPDIR=scratch))
        return process, url

    cli_shaped = [korvex, "--host", shaped, "--password-file", password]
    if only & {"open", "big"}:
        _, url = web(shaped)
        page = Page(url, work / "chromium-profile")
        pages.append(page)

    if "open" in only:
        page_ms, cli_ms, request_ms = [], [], []
        for round_number in range(args.rounds):
            def by_page():
                page_ms.append(page.open_folder("/names1000"))
                request_ms.append(page.listing_request("/names1000"))
                if page.scroll_to_end("name-00999.txt") is None:
                    sys.exit("the page never showed the last of the 1,000 names")

            def by_cli():
                with open(work / "ls.out", "wb") as out:
                    cli_ms.append(timed(cli_shaped + ["ls", "-l", "/names1000"], stdout=out) * 1000)
                if len((work / "ls.out").read_text().splitlines()) < 1000:
                    sys.exit("korvex ls -l listed fewer than 1,000 names")
            for step in ((by_page, by_cli) if round_number % 2 == 0 else (by_cli, by_page)):
                step()
            print(f"  round {round_number + 1}: page {page_ms[-1]:.0f} ms (its listing request "
                  f"{request_ms[-1]:.0f} ms), ls -l {cli_ms[-1]:.0f} ms (load average {load_average()})")
        print(f"open a 1,000-name folder, {args.profile} ({delay_ms} ms one way, {rate_mbit} Mbit/s): "
              f"page {median(page_ms):.0f} ms (its listing request {median(request_ms):.0f} ms), "
              f"korvex ls -l {median(cli_ms):.0f} ms, page / ls -l {median(page_ms) / median(cli_ms):.2f} "
              f"(target <= 1.5)")

    if "big" in only:
        opened, scrolled, typed, cleared = [], [], [], []
        for round_number in range(args.rounds):
            opened.append(page.open_folder("/names10000"))
            scrolled.append(page.scroll_to_end("name-09999.txt"))
            if scrolled[-1] is None:
                sys.exit("the page never showed the last of the 10,000 names")
            times = page.filter_keystrokes("name-1")
            typed.extend(times[:-1])
            cleared.append(times[-1])
            print(f"  round {round_number + 1}: opened {opened[-1]:.0f} ms, to the end {scrolled[-1]:.0f} ms, "
                  f"keystrokes {', '.join(f'{t:.0f}' for t in times[:-1])} ms, cleared {times[-1]:.0f} ms "
                  f"(load average {load_average()})")
        print(f"a 10,000-name folder, {args.profile}: shown {median(opened):.0f} ms after the click; a jump to its "
              f"end {median(scrolled):.0f} ms; a filter keystroke {median(typed):.0f} ms (slowest {max(typed):.0f}); "
              f"clearing the filter {median(cleared):.0f} ms")

    def transfers(phone, link):
        process, url = web(phone)
        cli = [korvex, "--host", phone, "--password-file", password]
        base, token = url.split("/?token=")
        cookie = ["-b", f"korvex_token={token}"]
        curl = ["curl", "-sS", "--fail", "--max-time", str(LIMIT)]
        before = resident_peak(process.pid)
        sampled = {"peak": 0.0}
        stop = threading.Event()

        def sample():
            while not stop.wait(0.05):
                sampled["peak"] = max(sampled["peak"], resident_peak(process.pid)[1])
        sampler = threading.Thread(target=sample)
        sampler.start()
        rates = {key: [] for key in ("page get", "cli get", "page put", "cli put")}
        try:
            for round_number in range(args.rounds):
                steps = {
                    "page get": lambda: timed(curl + cookie + ["-o", work / "page.bin",
                                                               f"{base}/api/download?path=/big.bin"]),
                    "cli get": lambda: timed(cli + ["get", "/big.bin", work / "cli.bin"]),
                    "page put": lambda: timed(curl + cookie + ["-H", "X-Korvex: 1", "-o", "/dev/null",
                                                               "-T", work / "big.bin",
                                                               f"{base}/api/upload?path=/&name=page-up.bin&replace=1"]),
                    "cli put": lambda: timed(cli + ["put", work / "big.bin", "/cli-up.bin"]),
                }
                order = list(steps) if round_number % 2 == 0 else ["cli get", "page get", "cli put", "page put"]
                for key in order:
                    seconds = steps[key]()
                    rates[key].append(size / (1 << 20) / seconds)
                for made in (work / "page.bin", work / "cli.bin", root / "page-up.bin", root / "cli-up.bin"):
                    if subprocess.run(["cmp", "-s", work / "big.bin", made]).returncode != 0:
                        sys.exit(f"{made} differs from what was sent")
                    made.unlink()
                print(f"  round {round_number + 1}: " +
                      ", ".join(f"{key} {rates[key][-1]:.0f} MiB/s" for key in order) +
                      f" (load average {load_average()})")
        finally:
            stop.set()
            sampler.join()
        after = resident_peak(process.pid)
        for way in ("get", "put"):
            page_rate, cli_rate = median(rates[f"page {way}"]), median(rates[f"cli {way}"])
            print(f"{args.size_mib} MiB {'download' if way == 'get' else 'upload'} {link}: "
                  f"page {page_rate:.0f} MiB/s, korvex {way} {cli_rate:.0f} MiB/s, "
                  f"page / CLI {page_rate / cli_rate:.2f} (target >= 0.8)")
        print(f"korvex web's resident memory: {before[1]:.1f} MiB before, peak {after[0]:.1f} MiB (VmHWM; "
              f"{sampled['peak']:.1f} MiB sampled every 50 ms during the transfers)")

    if "transfer" in only:
        transfers(direct, "on loopback")
        if args.transfers_shaped:
            transfers(shaped, f"through the {args.profile} link")
    print(f"load average at end: {load_average()}")


if __name__ == "__main__":
    main()

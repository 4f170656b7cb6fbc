"""Screenshots of an HTML report, light and dark, and the page printed to
PDF, in Debian's Chromium driven by Playwright (the test extra):

    python tools/report_shots.py PAGE.html OUT     # OUT-light.png, OUT-dark.png, OUT.pdf

Prints the files written, and the page's errors on standard error (exit 1)."""

from __future__ import annotations

import pathlib
import sys

from browser import IMAGES_LOADED, find_chromium


def main(page: str, out: str) -> int:
    from playwright.sync_api import sync_playwright

    executable = find_chromium()
    if executable is None:
        print("no Chromium installed (apt-get install chromium)", file=sys.stderr)
        return 1
    errors: list[str] = []
    written = []
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=executable)
        tab = browser.new_page(viewport={"width": 1280, "height": 900})
        tab.on("pageerror", lambda error: errors.append(f"exception: {error}"))
        tab.on("console", lambda message: message.type == "error" and errors.append(message.text))
        tab.goto(pathlib.Path(page).resolve().as_uri())
        # a viewport as tall as the page: lazy pictures and skipped cards are drawn too
        tab.set_viewport_size({"width": 1280, "height": tab.evaluate("document.documentElement.scrollHeight")})
        tab.evaluate(IMAGES_LOADED)
        for scheme in ("light", "dark"):
            tab.emulate_media(color_scheme=scheme)
            tab.screenshot(path=f"{out}-{scheme}.png")
            written.append(f"{out}-{scheme}.png")
        tab.emulate_media(media="print", color_scheme="light")
        tab.pdf(path=f"{out}.pdf", print_background=True)
        written.append(f"{out}.pdf")
        browser.close()
    print(*written, sep="\n")
    for error in errors:
        print(f"{page}: {error}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

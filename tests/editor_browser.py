"""A real browser on a real ``quillon serve``, for the editor's tests and its benchmark.

- :func:`write_demo_project`: a project with the demo circuit (a splitter fanning
  out to grating couplers, and a heater with its pads) and the kit's cached
  ports files, so that ports are drawn on their sides;
- :func:`open_browser`: headless Chromium through the system's chromedriver
  (nothing is downloaded);
- :class:`Editor`: the editor page driven by a browser, with explicit waits.
"""

from __future__ import annotations

import json
import os
import shutil
from collections.abc import Callable
from pathlib import Path
from typing import Any

import yaml
from editor_project import make_project

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
WAIT = 60  # seconds: only guards against a page that never gets there

#: Port sides of the kit's components, as the kit's build writes them.
CACHED_PORTS = {
    "mmi1x2": {"o1": "w", "o2": "e", "o3": "e"},
    "mmi2x2": {"o1": "w", "o2": "w", "o3": "e", "o4": "e"},
    "grating_coupler": {"o1": "e"},
    "bend_euler": {"o1": "w", "o2": "n"},
    "straight": {"o1": "w", "o2": "e"},
    "straight_heater_metal": {"o1": "w", "o2": "e", "e1": "n", "e2": "n"},
    "pad": {"e1": "w", "e2": "n", "e3": "e", "e4": "s"},
}


def browser_available() -> bool:
    return os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)


def demo_document() -> dict[str, Any]:
    """The demo circuit as the editor saves it: a splitter, a heater on one arm and its pad."""
    components = {
        "gc_in": "grating_coupler",
        "splitter": "mmi1x2",
        "heater": "straight_heater_metal",
        "gc_top": "grating_coupler",
        "arm_b": "straight",
        "gc_bot": "grating_coupler",
        "pad": "pad",
    }
    place = {
        "gc_in": (-300, 0, 0),
        "splitter": (-120, 0, 0),
        "heater": (100, 90, 0),
        "gc_top": (340, 90, 180),
        "arm_b": (100, -110, 0),
        "gc_bot": (340, -110, 180),
        "pad": (100, 260, 0),
    }
    instances: dict[str, Any] = {name: {"component": c} for name, c in components.items()}
    instances["heater"]["settings"] = {"length": 120.0}
    drawn = {n: {"x": x, "y": y, **({"rotation": r} if r else {})} for n, (x, y, r) in place.items()}
    placements = {n: drawn[n] for n in ("gc_in", "pad")}  # the others are joined by connections
    netlist = {
        "instances": instances,
        "placements": placements,
        "connections": {
            "gc_in,o1": "splitter,o1",
            "splitter,o3": "heater,o1",
            "heater,o2": "gc_top,o1",
            "splitter,o2": "arm_b,o1",
            "arm_b,o2": "gc_bot,o1",
        },
        "routes": {},
        "nets": [{"p1": "heater,e1", "p2": "pad,e4"}],
        "ports": {"bias": "pad,e2"},
    }
    return {"netlist": netlist, "schematic": {"instances": drawn}}


def write_demo_project(root: Path) -> Path:
    """A project "demo" with the demo circuit demo/splitter and the cached ports files."""
    project = make_project(root)
    ports_dir = project / "build" / "gds" / "pdk" / "ports"
    ports_dir.mkdir(parents=True)
    for component, sides in CACHED_PORTS.items():
        (ports_dir / f"{component}.json").write_text(json.dumps({component: sides}), encoding="utf-8")
    document = demo_document()
    source = project / "demo"
    (source / "splitter.pic.yml").write_text(yaml.safe_dump(document["netlist"], sort_keys=False), encoding="utf-8")
    (source / "splitter.scm.yml").write_text(yaml.safe_dump(document["schematic"], sort_keys=False), encoding="utf-8")
    return project


def open_browser(width: int = 1440, height: int = 900) -> Any:
    """Headless Chromium driven through the system's chromedriver."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    os.environ.setdefault("SE_OFFLINE", "true")  # never let Selenium fetch a driver or browser
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        f"--window-size={width},{height}",
        "--force-device-scale-factor=1",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))


class Editor:
    """The editor page at ``url`` in ``driver``."""

    def __init__(self, driver: Any, url: str) -> None:
        self.driver = driver
        self.url = url

    def wait(self, condition: Callable[[Any], Any], message: str = "") -> Any:
        from selenium.webdriver.support.ui import WebDriverWait

        return WebDriverWait(self.driver, WAIT, poll_frequency=0.05).until(condition, message)

    def js(self, script: str, *args: Any) -> Any:
        return self.driver.execute_script(script, *args)

    def open(self, path: str = "") -> None:
        self.driver.get(self.url + (f"#{path}" if path else ""))
        if path:
            self.wait(
                lambda d: (
                    self.js("return document.querySelector('select[name=circuit]').value") == path
                    and "Opened" in self.status()
                ),
                f"{path} did not open: {self.status()!r}",
            )

    def find(self, selector: str) -> Any:
        from selenium.webdriver.common.by import By

        return self.wait(lambda d: d.find_element(By.CSS_SELECTOR, selector), f"no {selector}")

    def status(self) -> str:
        return str(self.js("const s = document.querySelector('header .status'); return s ? s.textContent : ''"))

    def wait_status(self, text: str) -> str:
        self.wait(lambda d: text in self.status(), f"status {self.status()!r} never showed {text!r}")
        return self.status()

    def instances(self) -> dict[str, str]:
        """Drawn instance name -> its transform."""
        return dict(
            self.js(
                "return [...document.querySelectorAll('#canvas .inst')].map(g => [g.dataset.name, g.getAttribute('transform')])"
            )
        )

    def links(self) -> list[str]:
        return list(self.js("return [...document.querySelectorAll('#canvas .link')].map(p => p.getAttribute('class'))"))

    def drawing(self) -> dict[str, Any]:
        """What is drawn, to compare two drawings (the selection left out)."""
        return {
            "instances": self.instances(),
            "links": self.js("return [...document.querySelectorAll('#canvas .link')].map(p => p.getAttribute('d'))"),
            "ports": sorted(
                self.js(
                    "return [...document.querySelectorAll('#canvas .port')].map(c => c.dataset.endpoint + ' ' + "
                    "[...c.classList].filter(k => k !== 'selected').join(' '))"
                )
            ),
        }

    def dirty(self) -> bool:
        return not self.js("return document.querySelector('.dirty').hidden")

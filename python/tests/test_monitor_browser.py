"""The monitor page in a real browser (headless Chromium driven by Selenium): every tree is drawn,
a node's colour follows the ticks, a click shows the node's details. Saves a screenshot; with
KELMORA_SCREENSHOT set, also to that path (docs/images/monitor.png is made that way)."""

import os
import shutil

import pytest

from kelmora.core import NodeStatus

webdriver = pytest.importorskip(
    "selenium.webdriver", reason="python3-selenium is not installed (scripts/setup.sh installs it)")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")

pytestmark = pytest.mark.skipif(
    CHROMIUM is None or CHROMEDRIVER is None,
    reason="chromium and chromium-driver are not installed (scripts/setup.sh installs them)")

FETCH = """<root BTCPP_format="4"><BehaviorTree ID="Fetch">
  <Sequence name="fetch">
    <SetBlackboard value="kitchen" output_key="room"/>
    <Move name="go to room" goal="{room}"/>
    <Fallback name="grasp">
      <Grasp name="grasp cup" object="cup"/>
      <Grasp name="grasp mug" object="mug"/>
    </Fallback>
  </Sequence></BehaviorTree></root>"""

PATROL = """<root BTCPP_format="4"><BehaviorTree ID="Patrol">
  <ReactiveSequence name="patrol">
    <Inverter><AlwaysFailure name="battery low"/></Inverter>
    <Move name="next waypoint" goal="waypoint"/>
  </ReactiveSequence></BehaviorTree></root>"""

IDLE = """<root BTCPP_format="4"><BehaviorTree ID="Wait">
  <Sequence name="wait"><AlwaysSuccess/></Sequence></BehaviorTree></root>"""


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1500,900"):
        options.add_argument(argument)
    assert CHROMEDRIVER is not None
    service = Service(executable_path=CHROMEDRIVER)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


def test_the_page_shows_every_tree_and_follows_the_ticks(engine, browser, tmp_path):
    moves = {"go to room": NodeStatus.RUNNING}

    def move(node):
        return moves.get(node.name, NodeStatus.RUNNING)

    engine.register_action_behavior(
        "Move", move, [{"name": "goal", "type": "string", "direction": "input",
                        "description": ""}])
    engine.register_action_behavior(
        "Grasp", lambda node: NodeStatus.FAILURE if node.name == "grasp cup"
        else NodeStatus.SUCCESS,
        [{"name": "object", "type": "string", "direction": "input", "description": ""}])
    engine.create_tree_from_text(FETCH, "fetch")
    engine.create_tree_from_text(PATROL, "patrol")
    engine.create_tree_from_text(IDLE, "idle")
    url = engine.serve_monitor()
    engine.tick_once("fetch")  # fetch RUNNING at "go to room"
    engine.tick_once("patrol")

    browser.get(url)
    wait = WebDriverWait(browser, 30)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "section.tree")) == 3)
    shown = [s.get_attribute("data-tree")
             for s in browser.find_elements(By.CSS_SELECTOR, "section.tree")]
    assert sorted(shown) == ["fetch", "idle", "patrol"]

    def fill(tree, uid):
        return browser.find_element(
            By.CSS_SELECTOR, 'svg[data-tree="%s"] rect[data-uid="%d"]' % (tree, uid)
        ).get_attribute("fill")

    wait.until(lambda d: fill("fetch", 2) == "#ffd54f")  # "go to room" RUNNING: gold
    moves["go to room"] = NodeStatus.SUCCESS
    engine.tick_once("fetch")  # the move succeeds, the grasp falls back: the tree succeeds
    wait.until(lambda d: fill("fetch", 0) == "#81c784")  # the root turns green
    wait.until(lambda d: "kitchen" in d.find_element(
        By.CSS_SELECTOR, 'section[data-tree="fetch"] pre').text)

    moves["go to room"] = NodeStatus.RUNNING
    engine.tick_once("fetch")  # running again, for the picture
    wait.until(lambda d: fill("fetch", 2) == "#ffd54f")
    browser.find_element(By.CSS_SELECTOR, 'svg[data-tree="fetch"] rect[data-uid="2"]').click()
    wait.until(lambda d: "tick_count" in d.find_element(By.ID, "details").text)
    details = browser.find_element(By.ID, "details").text
    assert "fetch/go to room" in details and "goal" in details and "{room}" in details

    picture = tmp_path / "monitor.png"
    assert browser.save_screenshot(str(picture))
    assert picture.stat().st_size > 1000
    target = os.environ.get("KELMORA_SCREENSHOT")
    if target:
        shutil.copyfile(picture, target)

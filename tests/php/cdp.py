"""A small client of Chromium's DevTools protocol: a headless Chromium with a private
profile, pages opened in it (optionally in a browser context of their own, with its own
cookies) and JavaScript evaluated in them."""

import json
import os
import subprocess
import time

import websocket

from harness import CheckFailed, expect


class Browser:
    def __init__(self, ctx):
        profile = ctx.path("chromium-profile")
        os.makedirs(profile, exist_ok=True)
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1280,900", f"--user-data-dir={profile}", "--remote-debugging-port=0",
             "about:blank"],
            stdout=subprocess.DEVNULL, stderr=open(ctx.path("chromium.log"), "wb"))
        ctx.cleanups.append(self.close)
        active = os.path.join(profile, "DevToolsActivePort")
        for _ in range(300):
            if os.path.exists(active) and len(open(active).read().split("\n")) >= 2:
                break
            expect(self.process.poll() is None, "chromium exited at start")
            time.sleep(0.1)
        port, path = open(active).read().split("\n")[:2]
        self.socket = websocket.create_connection(f"ws://127.0.0.1:{port}{path}", timeout=60,
                                                  suppress_origin=True)
        self.next_id = 0

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.socket.send(json.dumps(message))
        while True:
            answer = json.loads(self.socket.recv())
            if answer.get("id") == self.next_id:
                expect("error" not in answer, f"{method}: {answer.get('error')}")
                return answer["result"]

    def page(self, context=None, target=None):
        """A new blank page (in `context`, a browser context id), or the page `target`."""
        if target is None:
            params = {"url": "about:blank"}
            if context:
                params["browserContextId"] = context
            target = self.call("Target.createTarget", **params)["targetId"]
        session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        return Page(self, session)

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Page:
    def __init__(self, browser, session):
        self.browser, self.session = browser, session

    def evaluate(self, expression, user_gesture=False):
        """The expression's value; with user_gesture, run as if the user acted (a click
        that opens a new page is a popup otherwise, and blocked)."""
        result = self.browser.call("Runtime.evaluate", self.session, expression=expression,
                                   returnByValue=True, awaitPromise=True, userGesture=user_gesture)
        expect("exceptionDetails" not in result, f"{expression}: {result.get('exceptionDetails')}")
        return result["result"].get("value")

    def wait_for(self, expression, what, tries=100):
        """The expression's value once it is true; a failure naming `what` when it stays
        false (checked every 0.1 s)."""
        for _ in range(tries):
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise CheckFailed(f"waited in vain for {what}")

    def screenshot(self, path):
        """The page as the window shows it, written to `path` as PNG."""
        import base64
        data = self.browser.call("Page.captureScreenshot", self.session, format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def open(self, url):
        self.browser.call("Page.navigate", self.session, url=url)
        self.wait_for(f"location.href === {json.dumps(url)} && document.readyState === 'complete'",
                      f"{url} to load")

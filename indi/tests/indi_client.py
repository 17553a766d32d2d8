"""A small INDI client for the driver's tests: speaks INDI's XML over TCP and keeps the
latest state of every property, the history of its updates, the messages and the BLOBs."""
import base64
import socket
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr


class IndiClient:
    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=5)
        self.parser = ET.XMLPullParser(events=("start", "end"))
        self.parser.feed(b"<stream>")  # the protocol is a sequence of elements without a root
        self.depth = 0
        self.props = {}     # (device, name) -> {"state", "values", "history"}
        self.messages = []  # (device, text)
        self.blobs = []     # (device, monotonic time received, format, bytes)
        self.send("<getProperties version='1.7'/>")

    def close(self):
        self.sock.close()

    def send(self, xml):
        self.sock.sendall(xml.encode())

    def _take(self, elem):
        dev, name = elem.get("device"), elem.get("name")
        if elem.get("message"):
            self.messages.append((dev, elem.get("message")))
        if not name or not elem.tag.startswith(("def", "set")):
            return
        p = self.props.setdefault((dev, name), {"state": None, "values": {}, "history": []})
        p["state"] = elem.get("state", p["state"])
        for one in elem:
            text = (one.text or "").strip()
            if one.tag == "oneBLOB":
                if text:
                    self.blobs.append((dev, time.monotonic(), one.get("format"), base64.b64decode(text)))
            else:
                p["values"][one.get("name")] = text
        p["history"].append((p["state"], dict(p["values"])))

    def pump(self, timeout):
        self.sock.settimeout(max(timeout, 0.001))
        try:
            data = self.sock.recv(1 << 20)
        except socket.timeout:
            return
        if not data:
            raise ConnectionError("indiserver closed the connection")
        self.parser.feed(data)
        for event, elem in self.parser.read_events():
            self.depth += 1 if event == "start" else -1
            if event == "end" and self.depth == 1:
                self._take(elem)
                elem.clear()

    def wait(self, cond, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not cond():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.pump(min(left, 0.2))
        return True

    def state(self, dev, prop):
        return self.props.get((dev, prop), {}).get("state")

    def value(self, dev, prop, elem):
        return self.props[(dev, prop)]["values"][elem]

    def wait_state(self, dev, prop, states, timeout=10.0):
        self.wait(lambda: self.state(dev, prop) in states, timeout)
        return self.state(dev, prop)

    def _new(self, kind, dev, prop, values):
        p = self.props.setdefault((dev, prop), {"state": None, "values": {}, "history": []})
        p["state"] = None  # so that a wait sees the answer to this request, not an older state
        p["history"] = []
        items = "".join("<one%s name=%s>%s</one%s>" % (kind, quoteattr(k), v, kind) for k, v in values.items())
        self.send("<new%sVector device=%s name=%s>%s</new%sVector>" % (kind, quoteattr(dev), quoteattr(prop), items,
                                                                      kind))

    def set_number(self, dev, prop, **values):
        self._new("Number", dev, prop, values)

    def set_text(self, dev, prop, **values):
        self._new("Text", dev, prop, values)

    def set_switch(self, dev, prop, on, off=()):
        self._new("Switch", dev, prop, dict({on: "On"}, **{k: "Off" for k in off}))

    def enable_blobs(self, dev):
        self.send("<enableBLOB device=%s>Also</enableBLOB>" % quoteattr(dev))

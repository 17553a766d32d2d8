"""A small INDI client for the driver's tests: every property's updates, the messages and the BLOBs as they arrive."""
import base64
import socket
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr


class IndiClient:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=0.2)  # a wait looks at its clock as often
        self.parser = ET.XMLPullParser()
        self.parser.feed(b"<stream>")  # the protocol is a sequence of elements without a root
        self.props = {}     # (device, name) -> [(state, {element: text sent}), ...] since the last request
        self.values = {}    # (device, name, element) -> latest text
        self.messages = []  # (device, text)
        self.blobs = []     # their bytes
        self.asked = set()  # (device, name) of the requests not answered yet
        self.sock.sendall(b"<getProperties version='1.7'/>")

    def _take(self, elem):
        dev, name = elem.get("device"), elem.get("name")
        if elem.get("message"):
            self.messages.append((dev, elem.get("message")))
        # A definition sent while a request waits for its answer (a property the connection defines
        # anew, with the state it had) is not that answer.
        if elem.tag.startswith("set") or (elem.tag.startswith("def") and (dev, name) not in self.asked):
            self.asked.discard((dev, name))
            values = {one.get("name"): (one.text or "").strip() for one in elem}
            self.blobs += [base64.b64decode(values[one.get("name")]) for one in elem if one.tag == "oneBLOB"]
            self.values.update({(dev, name, k): v for k, v in values.items()})
            self.props.setdefault((dev, name), []).append((elem.get("state", self.state(dev, name)), values))

    def wait(self, cond, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not cond() and time.monotonic() < deadline:
            try:
                data = self.sock.recv(1 << 20)
            except socket.timeout:
                continue
            if not data:
                raise ConnectionError("indiserver closed the connection")
            self.parser.feed(data)
            for _, elem in self.parser.read_events():
                if elem.tag.endswith("Vector") or elem.tag == "message":  # the protocol's messages
                    self._take(elem)
                    elem.clear()
        return cond()

    def state(self, dev, prop):
        return (self.props.get((dev, prop)) or [(None, {})])[-1][0]

    def wait_state(self, dev, prop, states, timeout=10.0):
        self.wait(lambda: self.state(dev, prop) in states, timeout)
        return self.state(dev, prop)

    def new(self, kind, dev, prop, **values):
        """Sends new values; the property's updates start afresh, so that a wait sees the answer."""
        self.props[(dev, prop)] = []
        self.asked.add((dev, prop))
        items = "".join("<one%s name=%s>%s</one%s>" % (kind, quoteattr(k), v, kind) for k, v in values.items())
        self.sock.sendall(("<new%sVector device=%s name=%s>%s</new%sVector>" % (
            kind, quoteattr(dev), quoteattr(prop), items, kind)).encode())

    def switch(self, dev, prop, on, off=()):
        self.new("Switch", dev, prop, **dict({on: "On"}, **{k: "Off" for k in off}))

"""The console log of a run (boardsim run --log FILE).

One text line per console line, prefixed with the host's local time to the
millisecond and the seconds since the current power-on:

    2026-12-07 23:01:02.345 +0001.234 Option? :

A line carries the times of its first character. Carriage returns are left
out; bytes that are not UTF-8 are written as U+FFFD. Every line is flushed as
it ends (a reader follows the file while the board runs); a partial line is
written when the simulator prints a line of its own or the run ends.
"""

import codecs
import threading
import time


def stamp(wall, since):
    """'YYYY-MM-DD HH:MM:SS.mmm +SSSS.mmm' for host time `wall` (seconds since
    the epoch) and `since` seconds since power-on."""
    millis = int(wall * 1000) % 1000
    return "%s.%03d +%08.3f" % (time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(wall)),
                                millis, max(0.0, since))


class ConsoleLog:
    def __init__(self, path):
        """Appends to `path`; OSError when it cannot be opened."""
        self.file = open(path, "a", encoding="utf-8")
        self.lock = threading.Lock()
        self.decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self.powered = time.monotonic()
        self.pending, self.first = "", None

    def power_on(self):
        with self.lock:
            self.powered = time.monotonic()

    def _now(self):
        return time.time(), time.monotonic() - self.powered

    def _write(self, when, text):
        self.file.write("%s %s\n" % (stamp(*when), text))
        self.file.flush()

    def feed(self, data):
        """Console bytes as the operator's side received them."""
        with self.lock:
            text = self.decoder.decode(data).replace("\r", "")
            while text:
                self.first = self.first or self._now()
                head, newline, text = text.partition("\n")
                self.pending += head
                if newline:
                    self._write(self.first, self.pending)
                    self.pending, self.first = "", None

    def _end_partial(self):
        if self.first is not None:
            self._write(self.first, self.pending)
            self.pending, self.first = "", None

    def line(self, text):
        """A line of the simulator's own ('board: ...')."""
        with self.lock:
            self._end_partial()
            self._write(self._now(), text)

    def close(self):
        with self.lock:
            self.pending += self.decoder.decode(b"", final=True).replace("\r", "")
            if self.pending and self.first is None:
                self.first = self._now()
            self._end_partial()
            self.file.close()

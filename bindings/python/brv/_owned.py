"""Objects that own a library handle: closed by a with block, by close(), or
when garbage-collected."""


class Owned:
    """The base of the classes that hold a library handle (Device, Ports,
    Calibration): usable in a with block, which calls close() at its end."""

    def __enter__(self):
        """Returns the object itself."""
        return self

    def __exit__(self, *exc):
        """Calls close(); exceptions go on."""
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def close(self):  # pragma: no cover - every subclass defines it
        """Releases the handle; safe to call twice."""
        raise NotImplementedError

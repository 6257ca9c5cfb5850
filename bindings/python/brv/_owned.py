"""Objects that own a library handle: closed by a with block, by close(), or
when garbage-collected."""


class Owned:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def close(self):  # pragma: no cover - every subclass defines it
        raise NotImplementedError

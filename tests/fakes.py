"""Stand-ins for the values callers pass: objects whose special methods raise, lie or change their minds."""


def lying(**behaviour):
    """An object with just the special methods named (float, index, fspath); each returns the value given,
    returns what calling it gives, or raises it."""
    def method(what):
        def special(self):
            if isinstance(what, BaseException):
                raise what
            return what() if callable(what) else what
        return special
    return type("Lying", (), {f"__{name}__": method(what) for name, what in behaviour.items()})()


class Seq:
    """A sequence whose __len__, __iter__ and __getitem__ can each raise or lie."""

    def __init__(self, items, length=None, iterate=None, getitem=None):
        self.items, self.length, self.iterate, self.getitem = items, length, iterate, getitem

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if isinstance(self.getitem, BaseException) and i >= 1:
            raise self.getitem
        return self.items[i]


class IterSeq(Seq):
    def __iter__(self):
        if isinstance(self.iterate, BaseException):
            raise self.iterate
        return self.iterate() if callable(self.iterate) else iter(self.items)

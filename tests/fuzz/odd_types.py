"""Arguments whose types are odd in ways the conversions and their messages must see through.
The fuzzing harness passes them everywhere; the binding tests check the messages they cause."""


class Blob(bytes):
    pass


class LyingBlob(bytes):
    """Its __len__ lies; the module must read the real size."""

    def __len__(self):
        return 5


class Text(str):
    pass


class LoudText(str):
    """Its __str__ differs from its contents; the module must read the contents."""

    def __str__(self):
        return "loud"


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


class RaisingNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class RaisingName(metaclass=RaisingNameMeta):
    pass


class Surrogate:
    pass


Surrogate.__qualname__ = "Surr\udc80gate"


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")

    __str__ = __repr__


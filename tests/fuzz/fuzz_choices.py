"""Choices decoded from a fuzzing input, and the exception that reports a finding."""


class FuzzFinding(AssertionError):
    """An outcome that the module must never produce."""


def finding(what, detail):
    raise FuzzFinding(f"{what}: {detail}")


class Source:
    """Draws choices from the input bytes; an exhausted input reads as zeros."""

    def __init__(self, data):
        self.data = data
        self.position = 0

    def byte(self):
        if self.position >= len(self.data):
            return 0
        value = self.data[self.position]
        self.position += 1
        return value

    def below(self, bound):
        if bound <= 1:
            return 0
        value = self.byte()
        if bound > 256:
            value = value << 8 | self.byte()
        if bound > 65536:
            value = value << 16 | self.byte() << 8 | self.byte()
        return value % bound

    def pick(self, sequence):
        return sequence[self.below(len(sequence))]

    def chance(self, numerator, denominator):
        return self.below(denominator) < numerator

    def take(self, size):
        chunk = self.data[self.position:self.position + size]
        self.position += len(chunk)
        return chunk + bytes(size - len(chunk))


"""Values whose comparisons replace the fields being compared: the library
must hold what it compares until the comparison is over."""


class Dropped:
    """A bound that the other side's comparison replaces: it must still be
    alive when the interpreter, answered NotImplemented, asks it in turn."""
    def __init__(self):
        self.payload = [1, 2, 3]

    def _answer(self, other):
        self.payload.append(0)
        return NotImplemented

    __eq__ = __le__ = __ge__ = _answer
    __hash__ = None


def replacing(target, *names, answer=NotImplemented):
    """A value whose comparisons set `names` of target()'s range to 0."""
    class Replacing:
        def _compare(self, other):
            for name in names:
                setattr(target(), name, 0)
            return answer
        __eq__ = __le__ = _compare
        __hash__ = None

        def __ge__(self, other):
            return True
    return Replacing()

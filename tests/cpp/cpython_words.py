"""Writes the words of CPython's own `random` that tests/cpp/test_mt.cpp reads.

For each seed: the generator's state (624 words, then the index) once seeded
and a few words drawn, the next getrandbits(32) words from there, and, from the
same state again, a run of _randbelow(n) with n cycling over a few bounds.
Each list is a line: its name, its length, its values.
"""

import random
import sys

# (seed, words drawn before the state is taken, bounds of the _randbelow run)
CASES = [
    (0, 0, [1, 2, 3, 26]),
    (1, 1, [10, 100, 129, 1000]),
    (42, 300, [2**31 - 1, 2**31, 2**32 - 1, 5]),
    (2024, 623, [7]),
    (12345678901234567890, 1000, [255, 256, 257, 65535]),
    (5489, 624, [3, 2**31 + 1, 26, 62]),
]
WORDS = 2000
DRAWS = 3000


def line(name, values):
    return " ".join([name, str(len(values))] + [str(v) for v in values])


def main(out):
    for seed, skip, bounds in CASES:
        r = random.Random(seed)
        for _ in range(skip):
            r.getrandbits(32)
        state = r.getstate()
        words = [r.getrandbits(32) for _ in range(WORDS)]
        r.setstate(state)
        below = [r._randbelow(bounds[i % len(bounds)]) for i in range(DRAWS)]
        print("case", seed, skip, file=out)
        print(line("state", state[1]), file=out)  # the 624 words, then the index
        print(line("words", words), file=out)
        print(line("bounds", bounds), file=out)
        print(line("below", below), file=out)


if __name__ == "__main__":
    main(sys.stdout)

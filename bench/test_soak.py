"""The soak's trend rule on made-up sample series: what must pass (noise, a
one-off step) and what must fail (a steady leak), at CI and at note length."""

import os
import random
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from soak import verdicts  # noqa: E402

BASE = (2400, 13, 7)


def series(minutes, change):
    """Samples every 10 s from BASE, each value moved by change(t, i) and by a
    little noise (RssAnon +-40 kB, fds 0..1)."""
    rng = random.Random(7)
    out = []
    for k in range(int(minutes * 6) + 1):
        t = k * 10.0
        noise = (rng.randint(-40, 40), rng.randint(0, 1), 0)
        out.append((t, tuple(BASE[i] + noise[i] + change(t, i)
                             for i in range(3))))
    return out


ROWS = [
    ("noise only, 2 min", 2, lambda t, i: 0, set()),
    ("noise only, 60 min", 60, lambda t, i: 0, set()),
    ("one heap step of 132 kB, 2 min", 2,
     lambda t, i: 132 if i == 0 and t >= 70 else 0, set()),
    ("a thread that stays from minute 20", 60,
     lambda t, i: 1 if i == 2 and t >= 1200 else 0, set()),
    ("three descriptors a minute, 2 min", 2,
     lambda t, i: int(t // 60) * 3 if i == 1 else 0, {"fds"}),
    ("12 kB a minute, 60 min", 60,
     lambda t, i: int(t // 60) * 12 if i == 0 else 0, {"RssAnon kB"}),
    ("a thread every 5 minutes, 60 min", 60,
     lambda t, i: int(t // 300) if i == 2 else 0, {"threads"}),
]


@pytest.mark.parametrize("name,minutes,change,failing", ROWS,
                         ids=[r[0] for r in ROWS])
def test_trend_rule(name, minutes, change, failing):
    warm_up = min(300.0, minutes * 15)
    got = {n for n, _, _, bad in verdicts(series(minutes, change), warm_up)
           if bad}
    assert got == failing, name

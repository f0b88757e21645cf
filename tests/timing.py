"""The one allowance shared by every test that times something.

A timing test asserts a lower bound where the behaviour needs one (a timeout
must not fire early) and an upper bound that says nothing hung or waited
needlessly. Upper bounds are written for an idle machine and go through
`allowed()`, which stretches them by SLACK:

- QUORVI_TIME_SLACK, when set, is the factor itself;
- otherwise 3 under the sanitizer build (QUORVI_SANITIZED: instrumented code
  and malloc for every Python allocation), else 1; times the load per core
  when the session starts, if above 1 (at most 4): CI and development
  machines are shared.

Bounds tied to a configured timeout stay unscaled: passing them means the
timeout did not fire.
"""
import os


def _slack() -> float:
    forced = os.environ.get("QUORVI_TIME_SLACK")
    if forced:
        return float(forced)
    factor = 3.0 if os.environ.get("QUORVI_SANITIZED") else 1.0
    try:
        load = os.getloadavg()[0] / (os.cpu_count() or 1)
    except OSError:
        load = 1.0
    return factor * min(max(load, 1.0), 4.0)


SLACK = _slack()


def allowed(seconds: float) -> float:
    """Upper bound for what takes less than `seconds` on an idle machine."""
    return seconds * SLACK

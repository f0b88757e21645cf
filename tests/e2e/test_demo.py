"""`quorvi demo`: the bring-up it shows runs against a device as slow as asked."""
import re

from quorvi.cli.connect import run_demo


def test_demo_device_answers_every_line_after_the_delay_given(capsys):
    delay = 0.1
    assert run_demo("single", delay=delay, learn_os=False)
    summary = capsys.readouterr().out
    received = re.search(r"a received\s+(.*)", summary).group(1).split("; ")
    taken = float(re.search(r"time taken\s+([\d.]+) s", summary).group(1))
    assert len(received) == 6  # enable, two exec commands, a three-line config block
    assert taken >= delay * len(received)

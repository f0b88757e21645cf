"""What a line's reads become once the terminal's control sequences are out."""
import pytest

from quorvi.terminal import TerminalText, strip_controls


@pytest.mark.parametrize("reads, text, taken_back", [
    (["\r\x1b[KR9#"], "\rR9#", 0),  # erase to end of line before a prompt
    (["counter 1\r\x00\n"], "counter 1\r\n", 0),  # NUL padding
    (["\x1b[1;32mok\x1b[0m \x1b]0;title\x07x"], "ok x", 0),  # colour, window title
    (["\x1b[?2004h$ ", "\x1b(Bls\x1b7\x1b8"], "$ ls", 0),  # bracketed paste, charset, cursor
    # A sequence cut by the end of a read is recognised whole.
    (["R9", "\x1b", "[", "K#"], "R9#", 0),
    (["a\x1b]0;ti", "tle\x1b", "\\b"], "ab", 0),
    (["abc\b\bX\n", "\b\b\b"], "aX\n", 3),  # backspaces: in the read, then before it
    (["ab\n\bc"], "ab\nc", 0),  # never across a line end
    (["\x1b[", "\x07\x1b"], "", 0),  # odd leftovers are dropped, not kept
])
def test_reads_become_text_without_control_sequences(reads, text, taken_back):
    screen = TerminalText()
    fed = [screen.feed(read) for read in reads]
    assert "".join(t for t, _ in fed) + strip_controls(screen.held) == text
    assert sum(n for _, n in fed) == taken_back


def test_plain_text_passes_unchanged_and_uncopied():
    read = "line 1 of a long answer\r\n" * 100
    assert TerminalText().feed(read)[0] is read

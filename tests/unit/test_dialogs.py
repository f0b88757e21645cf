"""Dialog answers: login credentials in order, the enable password, string actions."""
import pytest

from quorvi.core.errors import ConnectionError
from quorvi.dialogs import Statement, enable_dialog, login_dialog


class Line:
    def __init__(self):
        self.sent = []

    def sendline(self, text=""):
        self.sent.append(text)

    def __str__(self):
        return "line"


CREDS = {"first": {"username": "u1", "password": "p1"}, "second": {"username": "u2", "password": "p2"},
         "default": {"username": "d", "password": "dp"}}


def run_login(context, questions):
    line, session = Line(), {}
    username, password = login_dialog()
    for q in questions:
        (username if q == "user" else password).run(line, context, session)
    return line.sent


@pytest.mark.parametrize("context, expected", [
    ({"credentials": CREDS, "cred_list": ["first", "second"]}, ["u1", "p1", "u2", "p2"]),
    ({"credentials": CREDS, "cred_list": None, "login_creds": ["second"]}, ["u2", "p2"]),
    ({"credentials": CREDS}, ["d", "dp"]),  # no list: the default credential
    ({"cred_list": [{"username": "x", "password": "y"}]}, ["x", "y"]),
])
def test_login_answers_with_credentials_in_order(context, expected):
    questions = ["user", "password"] * (len(expected) // 2)
    assert run_login(context, questions) == expected


@pytest.mark.parametrize("context, questions, message", [
    ({"credentials": CREDS, "cred_list": ["first"]}, ["user", "password", "user"], "rejected"),
    ({"credentials": CREDS, "cred_list": ["missing"]}, ["user"], "does not define"),
    ({"credentials": {"nouser": {"password": "p"}}, "cred_list": ["nouser"]}, ["user"], "no username"),
])
def test_login_fails_clearly(context, questions, message):
    with pytest.raises(ConnectionError, match=message):
        run_login(context, questions)


def test_enable_password_is_sent_once_then_rejected():
    (statement,) = enable_dialog()
    line, session = Line(), {}
    statement.run(line, {"enable_password": "en"}, session)
    assert line.sent == ["en"]
    with pytest.raises(ConnectionError, match="rejected"):
        statement.run(line, {"enable_password": "en"}, session)
    with pytest.raises(ConnectionError, match="none is configured"):
        statement.run(Line(), {}, {})


def test_string_action_fills_placeholders_from_context():
    line = Line()
    Statement(r"Continue\?", "yes {who}").run(line, {"who": "please"}, {})
    assert line.sent == ["yes please"]
    with pytest.raises(ConnectionError, match="who"):
        Statement(r"Continue\?", "yes {who}").run(line, {}, {})

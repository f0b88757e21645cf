"""Dialogs: the questions a line may ask on its way to a state, and their answers."""


class Dialog:
    """An ordered list of statements (placeholder; the framework layer fills this in)."""

    def __init__(self, statements=None):
        self.statements = list(statements or [])

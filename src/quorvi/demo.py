"""The bring-up report of `quorvi demo` and `quorvi connect`, at its former
import path; it lives in quorvi.cli.connect."""
from .cli.connect import connect_and_report, run_demo, summary

__all__ = ["connect_and_report", "run_demo", "summary"]

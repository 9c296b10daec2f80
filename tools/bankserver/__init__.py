"""The local bank server used by the tests, the demo and the benchmarks."""

from .bankserver import BankServer, RequestRecord, Rule, normalize_path, not_found_page

__all__ = ["BankServer", "RequestRecord", "Rule", "normalize_path", "not_found_page"]

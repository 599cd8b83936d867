"""The exceptions of txscreen.

Every exception the package raises on purpose derives from :class:`Error`, and also from the
built-in class a caller would catch for that kind of fault. Their messages are those of txhost.
Alerts raised by rules are never exceptions: they are rows of ``Run.alerts``. No message holds a
password.
"""


class Error(Exception):
    """The base of every txscreen exception."""


class RuleSetError(Error, ValueError):
    """The rule set cannot be used: one line per problem, each ``path:line: message``.

    ``problems`` holds the lines as a list.
    """

    @property
    def problems(self):
        return str(self).splitlines()


class OptionError(Error, ValueError, TypeError):
    """An option of ``screen`` has a value it cannot take (``threads=0``, ``id=None``); the
    message names the option. Both a ``ValueError`` and a ``TypeError``, as the value's kind or
    its range may be what is wrong."""


class InputError(Error, ValueError):
    """The transactions cannot be screened: a missing id or label column, a column without a
    name or named twice, or a file that cannot be opened."""


class LoginError(Error, ConnectionError):
    """No session could be opened for the database rules: a malformed connect string, no
    password, or the server's reason (``cannot log in to sample as scott: ORA-01017: ...``)."""


class TooManyRejects(Error, ValueError):
    """More rows were rejected than ``max_rejects`` allows; nothing is returned."""


class ReadError(Error, OSError):
    """Reading the transactions stopped on an error of the system."""


class OutputError(Error, OSError):
    """A file could not be written; what was at its path is as it was."""

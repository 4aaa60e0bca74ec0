"""The exceptions of synology_ds: one base, one subclass per cause."""

from __future__ import annotations

import re
from typing import Optional

_CODE = re.compile(r"\(code (\d+): ")


class DownloadStationError(Exception):
    """A failed call. message is the library's text (ds_last_error); code is
    the station's error code when it gave one, else None."""

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        self.message = message
        self.code = code


class SignInError(DownloadStationError):
    """The station refused the sign-in: code 400 for a wrong account or
    password, 403 when a 2-step verification code is needed, 404 when the
    code was wrong."""


class NotConnectedError(DownloadStationError):
    """No session: the client was never signed in, or is closed."""


class StationError(DownloadStationError):
    """The station refused the request; code says why."""

    code: int


class TransportError(DownloadStationError):
    """No answer: the station could not be reached, did not answer in time,
    or its certificate was not trusted."""


class InvalidArgumentError(DownloadStationError, ValueError):
    """An argument the library refused before sending anything."""


_ARGUMENT_MESSAGES = (
    "Invalid options: ",
    "Invalid timeout: ",
    "Failed to open torrent file: ",
    "Invalid torrent file size: ",
    "No valid URLs found in batch",
    "Destination cannot contain line breaks",
)


def code_in(message: str) -> Optional[int]:
    """N of a refusal's "(code N: TEXT)", else None."""
    found = _CODE.search(message)
    return int(found.group(1)) if found else None


def is_transport_failure(message: str) -> bool:
    """The library's words for "no answer came": "HTTP ... failed: WHY" and
    "Ping request failed: WHY"."""
    return message.startswith("Ping request failed: ") or (
        message.startswith("HTTP ") and " failed: " in message
    )


def error_for(message: str, code: Optional[int] = None, sign_in: bool = False) -> DownloadStationError:
    """The exception for a failed call: its message, and the code the call
    returned (or the one its message carries)."""
    if message == "Not connected to NAS":
        return NotConnectedError(message)
    if is_transport_failure(message):
        return TransportError(message)
    code = code if code is not None else code_in(message)
    if code is not None:
        return SignInError(message, code) if sign_in else StationError(message, code)
    if message.endswith(" cannot be empty") or message.startswith(_ARGUMENT_MESSAGES):
        return InvalidArgumentError(message)
    return DownloadStationError(message)

"""Finding and loading the shared library, and the signature of each of its
functions."""

from __future__ import annotations

import ctypes
import os
import sys
import sysconfig
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type

LIBRARY_NAME = (
    "brellock-synology-downloadstation.dll" if sys.platform == "win32" else "brellock-synology-downloadstation.so"
)

_Text = ctypes.c_char_p
_Int = ctypes.c_int

# Every exported function: (result type, argument types).
_CType = Type[Any]
SIGNATURES: Dict[str, Tuple[_CType, List[_CType]]] = {
    "ds_version": (_Text, []),
    "ds_last_error": (_Text, []),
    "ds_is_connected": (_Int, []),
    "ds_set_timeout": (_Int, [_Int]),
    "ds_connect": (_Int, [_Text, _Int, _Text, _Text]),
    "ds_connect_with": (_Int, [_Text, _Int, _Text, _Text, _Text]),
    "ds_session_info": (_Text, []),
    "ds_disconnect": (_Int, []),
    "ds_ping": (_Int, []),
    "ds_list_tasks": (_Text, []),
    "ds_list_tasks_filtered": (_Text, [_Text]),
    "ds_get_task": (_Text, [_Text]),
    "ds_pause": (_Int, [_Text]),
    "ds_resume": (_Int, [_Text]),
    "ds_delete": (_Int, [_Text, _Int]),
    "ds_pause_all": (_Int, []),
    "ds_resume_all": (_Int, []),
    "ds_delete_completed": (_Int, []),
    "ds_add_url": (_Int, [_Text, _Text]),
    "ds_add_urls": (_Int, [_Text, _Text]),
    "ds_add_torrent": (_Int, [_Text, _Text]),
    "ds_info": (_Text, []),
    "ds_stats": (_Text, []),
    "ds_get_config": (_Text, []),
    "ds_set_speed_limit": (_Int, [_Int, _Int]),
    "ds_get_default_destination": (_Text, []),
    "ds_set_default_destination": (_Int, [_Text]),
    "ds_list_shares": (_Text, []),
    "ds_list_folders": (_Text, [_Text]),
}

_lib: Optional[ctypes.CDLL] = None
_lib_lock = threading.Lock()


def default_prefixes() -> List[Path]:
    """Where an installed library is looked for, in this order: the running
    Python's prefix (a virtual environment's own), ~/.local, /usr/local and
    /usr."""
    return [Path(sys.prefix), Path.home() / ".local", Path("/usr/local"), Path("/usr")]


def library_candidates(prefixes: Optional[Sequence[Path]] = None) -> List[Path]:
    """The paths an installed library may have: lib/, lib64/ and
    lib/<multiarch>/ (e.g. lib/x86_64-linux-gnu/) under each prefix."""
    folders = ["lib", "lib64"]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        folders.append(f"lib/{multiarch}")
    candidates: List[Path] = []
    for prefix in prefixes if prefixes is not None else default_prefixes():
        for folder in folders:
            candidate = Path(prefix) / folder / LIBRARY_NAME
            if candidate not in candidates:
                candidates.append(candidate)
    return candidates


def find_library(prefixes: Optional[Sequence[Path]] = None) -> str:
    """The library to load: the path in DS_LIBRARY when set; else the first of
    library_candidates() that exists; else the bare file name, for the
    system's loader to find (LD_LIBRARY_PATH, its cache)."""
    from_environment = os.environ.get("DS_LIBRARY")
    if from_environment:
        return from_environment
    for candidate in library_candidates(prefixes):
        if candidate.is_file():
            return str(candidate)
    return LIBRARY_NAME


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library once (from path, else find_library()), declares every
    signature and returns the handle. Raises OSError when it cannot be
    loaded."""
    global _lib
    with _lib_lock:
        if _lib is None:
            lib = ctypes.CDLL(path or find_library())
            for name, (restype, argtypes) in SIGNATURES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _lib = lib
        return _lib

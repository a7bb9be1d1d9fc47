"""The package's own build backend: a wheel, an editable wheel or a source
archive of the `tovik` package, made with the standard library alone.

pip builds any package through its backend. The usual one needs the
`wheel` package (or a recent setuptools), which a fresh virtual environment
without network access does not have; this one needs nothing, so
`pip install clients/python` works there. The project's metadata is read
from the [project] table of pyproject.toml.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from typing import Any, Optional

ROOT = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "tovik"
TAG = "py3-none-any"


def _project() -> dict[str, Any]:
    """The [project] table: its string values and arrays of strings (all it
    holds)."""
    text = open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8").read()
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
    project: dict[str, Any] = {}
    for key, value in re.findall(r'^([\w-]+)\s*=\s*(".*?"|\[.*?\])\s*$', table, re.M | re.S):
        strings = re.findall(r'"((?:[^"\\]|\\.)*)"', value)
        project[key] = strings if value.startswith("[") else strings[0]
    return project


def _metadata() -> str:
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}",
             f"Summary: {p['description']}", f"Requires-Python: {p['requires-python']}"]
    lines += [f"Requires-Dist: {d}" for d in p.get("dependencies", [])]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    lines.append("Description-Content-Type: text/markdown")
    readme = open(os.path.join(ROOT, p["readme"]), encoding="utf-8").read()
    return "\n".join(lines) + "\n\n" + readme


def _dist_name() -> str:
    p = _project()
    return f"{p['name']}-{p['version']}"


def _package_files() -> list[str]:
    names = sorted(os.listdir(os.path.join(ROOT, PACKAGE)))
    return [f"{PACKAGE}/{n}" for n in names if n.endswith(".py") or n == "py.typed"]


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _wheel(directory: str, files: dict[str, bytes]) -> str:
    """Writes a wheel of files (name -> bytes) with its dist-info."""
    dist = _dist_name()
    info = f"{dist}.dist-info"
    files = dict(files)
    files[f"{info}/METADATA"] = _metadata().encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: {PACKAGE}-build\n"
                              f"Root-Is-Purelib: true\nTag: {TAG}\n").encode()
    record = [_record_line(n, d) for n, d in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    name = f"{dist}-{TAG}.whl"
    with zipfile.ZipFile(os.path.join(directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for member, data in files.items():
            wheel.writestr(member, data)
    return name


def build_wheel(wheel_directory: str, config_settings: Optional[dict[str, Any]] = None,
                metadata_directory: Optional[str] = None) -> str:
    files = {}
    for name in _package_files():
        with open(os.path.join(ROOT, name), "rb") as f:
            files[name] = f.read()
    return _wheel(wheel_directory, files)


def build_editable(wheel_directory: str, config_settings: Optional[dict[str, Any]] = None,
                   metadata_directory: Optional[str] = None) -> str:
    # A path file puts the source tree itself on the path.
    return _wheel(wheel_directory, {f"{PACKAGE}.pth": (ROOT + "\n").encode()})


def build_sdist(sdist_directory: str, config_settings: Optional[dict[str, Any]] = None) -> str:
    dist = _dist_name()
    name = f"{dist}.tar.gz"
    members = ["pyproject.toml", "README.md", "_tovik_build.py"] + _package_files()
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for member in members:
            tar.add(os.path.join(ROOT, member), f"{dist}/{member}")
        info = tarfile.TarInfo(f"{dist}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return name


def get_requires_for_build_wheel(config_settings: Optional[dict[str, Any]] = None) -> list[str]:
    return []


get_requires_for_build_sdist = get_requires_for_build_editable = get_requires_for_build_wheel

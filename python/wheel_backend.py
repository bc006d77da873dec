"""A build backend for the pure-Python package vci_ident: a wheel and a
source archive made with the standard library alone, so that
`pip install ./python` needs no network (pip's isolated build would fetch
setuptools from an index first)."""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

_ROOT = os.path.dirname(os.path.abspath(__file__))


def _project():
    # The few plain "key = "value"" lines of [project] that the metadata
    # needs (tomllib is not in every Python this package supports).
    with open(os.path.join(_ROOT, "pyproject.toml"), encoding="utf-8") as f:
        section = f.read().split("[project]", 1)[1].split("\n[", 1)[0]
    return dict(re.findall(r'^([\w-]+) = "([^"]*)"$', section, re.MULTILINE))


def _metadata(project):
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
            f"Summary: {project['description']}\nRequires-Python: {project['requires-python']}\n").encode()


def _dist(project):
    return f"{project['name']}-{project['version']}"


def _sources():
    package = os.path.join(_ROOT, "vci_ident")
    return [f"vci_ident/{name}" for name in sorted(os.listdir(package)) if name.endswith(".py")]


def _read(relative):
    with open(os.path.join(_ROOT, relative), "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    info = _dist(project) + ".dist-info"
    name = _dist(project) + "-py3-none-any.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(path, data):
            wheel.writestr(path, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            records.append(f"{path},sha256={digest},{len(data)}")
        for source in _sources():
            add(source, _read(source))
        add(f"{info}/METADATA", _metadata(project))
        add(f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: wheel_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        records.append(f"{info}/RECORD,,")
        wheel.writestr(f"{info}/RECORD", "\n".join(records) + "\n")
    return name


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    name = _dist(project) + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        def add(path, data):
            entry = tarfile.TarInfo(f"{_dist(project)}/{path}")
            entry.size = len(data)
            sdist.addfile(entry, io.BytesIO(data))
        for source in ["pyproject.toml", "wheel_backend.py"] + _sources():
            add(source, _read(source))
        add("PKG-INFO", _metadata(project))
    return name

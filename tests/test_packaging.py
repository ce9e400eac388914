"""The installed distribution's metadata: licence, classifiers, long description."""

from __future__ import annotations

import importlib.metadata


def test_installed_metadata_carries_the_licence_classifiers_and_an_introduction():
    meta = importlib.metadata.metadata("tessel")
    assert meta["License-Expression"] == "MIT"
    licence = [f for f in importlib.metadata.files("tessel") or [] if f.name == "LICENSE"]
    assert len(licence) == 1 and licence[0].read_text().startswith("MIT License\n")
    assert {
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
        "Typing :: Typed",
    } <= set(meta.get_all("Classifier") or [])
    # The long description opens with what the package is, before any make target.
    description = meta["Description"]
    assert description.startswith("# tessel\n\n`tessel` checks")
    assert description.index("make demo") > description.index("\n\n", len("# tessel\n\n"))

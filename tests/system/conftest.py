import os

import pytest

from vlmsandbox.sandbox import Sandbox, build_dir


def pytest_collection_modifyitems(config, items):
    if os.geteuid() != 0:
        skip = pytest.mark.skip(reason="system tests need root (namespaces, FUSE, TAP)")
        for item in items:
            item.add_marker(skip)


def built_program(relative):
    """A program of the build under test; the test fails when it isn't built."""
    path = build_dir() / relative
    if not path.exists():
        pytest.fail(f"{path} is missing: build it first (VLM_BUILD={build_dir()})")
    return path


@pytest.fixture(scope="session")
def vmbridge():
    return built_program("tools/vmbridge/vmbridge")


@pytest.fixture(scope="session")
def kbridge():
    """The kernel path's supervisor (kbridge-launch beside it)."""
    built_program("tools/kbridge/kbridge-launch")
    return built_program("tools/kbridge/kbridge")


@pytest.fixture(scope="session")
def bridge_client():
    """The daemon-like bridge port client."""
    return built_program("tests/system/bridge_client")


@pytest.fixture
def make_sandbox(vmbridge):
    """Factory: make_sandbox(**options) -> Sandbox; every one is closed and checked."""
    boxes = []

    def make(**options):
        box = Sandbox(vmbridge=vmbridge, **options)
        boxes.append(box)
        return box

    yield make
    errors = []
    for box in boxes:
        try:
            box.close()
        except Exception as error:  # every sandbox is closed even when one fails
            errors.append(error)
    if errors:
        raise errors[0]

"""The installed distribution's version: the one pyproject.toml declares,
and so the wheel's, the command's --version and the service's
service-info."""
from importlib import metadata


def version() -> str:
    try:
        return metadata.version("seqtally")
    except metadata.PackageNotFoundError:
        # The package imported from a source tree that was never installed.
        return "0+unknown"

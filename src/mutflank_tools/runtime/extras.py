"""Optional third-party libraries: imported on first need, with a one-line message naming the
Debian package (and the pip extra) when one is missing."""

import importlib

from .errors import InputError

# import name -> (Debian package, extra of `pip install mutflank[...]`)
PACKAGES = {
    "tqdm": ("python3-tqdm", "progress"),
    "matplotlib": ("python3-matplotlib", "plot"),
    "dask": ("python3-dask", "cluster"),
    "distributed": ("python3-distributed", "cluster"),
    "scipy": ("python3-scipy", "fit"),
    "cryptography": ("python3-cryptography", "cluster"),
}


class MissingExtra(InputError):
    """An optional library that this work needs is not installed."""


def require(name):
    """The module `name`, imported; MissingExtra when it cannot be."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        top = name.split(".", 1)[0]
        debian, extra = PACKAGES.get(top, (f"python3-{top}", None))
        hint = f"; or pip install 'mutflank[{extra}]'" if extra else ""
        raise MissingExtra(
            f"this needs the Python package {top} ({error}): install the Debian package "
            f"{debian}{hint}"
        ) from None

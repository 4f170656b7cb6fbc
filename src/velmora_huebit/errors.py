"""The library's own exceptions for a run's settings and outputs. Photos
that cannot be read raise velmora_huebit.photos.PhotoError; these are for
what stops a run as a whole. The command line turns each into one line and
an exit status."""

from __future__ import annotations

__all__ = ["SettingError", "MissingExtra", "RunStopped", "OutputError"]


class SettingError(Exception):
    """A setting that cannot work: an output file or folder, a file-name
    template, a cluster's address. Its words name the option."""


class MissingExtra(SettingError):
    """A setting needs a package that is not installed; the words say which
    extra to install."""


class RunStopped(SettingError):
    """The run stopped part-way (a cluster lost, a bucket's server gone):
    the photos that finished are kept, and a resume analyses the rest."""


class OutputError(Exception):
    """Results cannot be written: standard output, the --output journal,
    the report (other than a reader gone away)."""

"""The bundle's version, kept apart so that the modules which report it need
not import the package itself."""

__version__ = "0.1.0"

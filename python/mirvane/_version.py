"""The package version, written into every project file."""

__version__: str = "0.1.0"

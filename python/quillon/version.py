"""The package's version, in a module of its own so that the modules of the package
can name it without importing the package root (which lends them names in turn)."""

# The one place the version is written: the package metadata reads it from here.
__version__ = "0.1.0"

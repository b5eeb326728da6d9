"""The ``quillon`` command line and helpers for browsing a kit's components."""

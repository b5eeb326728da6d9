"""The local HTTP service behind the browser schematic editor."""

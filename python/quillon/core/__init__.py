"""Core services: kit activation, cell lookup and the layout-versus-schematic check."""

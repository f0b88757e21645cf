"""Framework core: errors and the class registry."""

"""Read-only access to Zarn chromatography and mass-spectrometry files."""

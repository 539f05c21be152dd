"""Package-wide constants."""

#: Project files end with this extension (compared against the lower-cased path).
MV_PROJECT_FILE_EXT: str = ".mvproj"

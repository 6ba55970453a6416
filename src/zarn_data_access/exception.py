"""Exception types of the library."""


class ZarnException(Exception):
    """A Zarn file could not be read: a format or reading error."""


class ZarnVersionException(ZarnException):
    """The file's format version is newer than this library reads."""


class WbnConverterException(Exception):
    """A conversion by the external converter program failed."""

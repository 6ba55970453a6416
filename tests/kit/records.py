"""Helpers for the description and index records in tests: their private
members are reached under their class-qualified names."""


def create(cls, *args):
    """The class factory `_<Class>__create_instance`."""
    return getattr(cls, f"_{cls.__name__}__create_instance")(*args)


def read_into(record, *args):
    """The record's `_<Class>__read`."""
    return getattr(record, f"_{type(record).__name__}__read")(*args)


def field(record, name):
    """A private field by its short name ("sample_name")."""
    return getattr(record, f"_{type(record).__name__}__{name}")


def fields(record, names):
    return {name: field(record, name) for name in names.split()}


def typed(value):
    """A value with its exact type, so that 0, 0.0, False and None differ."""
    return (type(value).__name__, value)

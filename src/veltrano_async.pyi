"""The exception of veltrano's background work; importable once veltrano has been imported."""

class TaskPanic(Exception):
    """An internal fault while an awaited derive_key ran on a worker thread.

    Its message is always "background task panicked: unknown error".
    """

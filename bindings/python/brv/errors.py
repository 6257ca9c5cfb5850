"""Exceptions of the binding. Read status codes of the library map onto them
(see Device): -2 DeviceClosed, -4 ReaderStopped, -3 NotServed."""


class BRVError(Exception):
    """Base class of every error raised by this package."""


class LibraryNotFound(BRVError, OSError):
    """libBRV.so.1 could not be found or loaded."""


class OpenError(BRVError, OSError):
    """The device could not be opened (no such port, or no good frame)."""


class DeviceClosed(BRVError):
    """The device is not open (status -2), or the Device was closed."""


class ReaderStopped(DeviceClosed):
    """The device went silent for 550 ms and its reader stopped (status -4);
    the device is closed from then on."""


class NotServed(BRVError, ValueError):
    """The read does not fit the device: a channel it does not serve, a
    six-axis read of a three-axis device or the reverse (status -3)."""


class CalibrationError(BRVError, ValueError):
    """A calibration file that cannot be loaded (the message names the file
    and the field), or one that does not calibrate what was asked."""
